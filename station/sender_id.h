#pragma once
// A sender: the source address and port of a datagram. One keyline-bench run
// sends from one socket, so one sender is one stream.

#include <QString>
#include <QtGlobal>

#include <cstddef>

class QHostAddress;
struct sockaddr;

struct SenderId {
    quint8 addr[16] = {};  // IPv4 in the first 4 bytes
    quint16 port = 0;
    quint8 family = 4;     // 4 or 6

    bool operator==(const SenderId& other) const;
    bool operator!=(const SenderId& other) const { return !(*this == other); }
};

struct SenderIdHash {
    std::size_t operator()(const SenderId& id) const;
};

// From a received source address (AF_INET or AF_INET6); false for others.
bool sender_from_sockaddr(const sockaddr* address, SenderId& id);
SenderId sender_id(const QHostAddress& address, quint16 port);

// "127.0.0.1:40000", "[::1]:40000".
QString sender_text(const SenderId& id);
