#pragma once
// The inhibit datagram's bytes: one JSON object, keys in a fixed order.

#include <QByteArray>
#include <QString>

// A text as the inside of a JSON string, UTF-8 encoded: double quote,
// backslash and U+0000..U+001F escaped, everything else as its UTF-8 bytes.
QByteArray json_string_body(const QString& text);

// {"tx_inhibit":1,"ttl_ms":<ttl>,"station":"<station>","band":"<band>","seq":<seq>}
// station_body and band_body are already escaped (json_string_body).
QByteArray inhibit_payload(int ttl_ms, const QByteArray& station_body, const QByteArray& band_body,
                           qint64 seq);
