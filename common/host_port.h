#pragma once
// "HOST:PORT" with a numeric address: "127.0.0.1:22400", "[::1]:22400". A
// name is refused, since a null address would go to the local machine while
// the send reports success.

#include <QHostAddress>
#include <QString>

// False when text is not a numeric IPv4 address and port, or an IPv6 address
// in brackets and port, the port 1..65535.
bool parse_host_port(const QString& text, QHostAddress* address, quint16* port);
