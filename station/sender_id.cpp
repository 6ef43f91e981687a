#include "station/sender_id.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QHostAddress>

#include <cstring>

bool SenderId::operator==(const SenderId& other) const
{
    return port == other.port && family == other.family &&
           std::memcmp(addr, other.addr, sizeof addr) == 0;
}

std::size_t SenderIdHash::operator()(const SenderId& id) const
{
    // FNV-1a over the address, port and family.
    std::size_t h = 1469598103934665603ull;
    auto mix = [&h](quint8 b) { h = (h ^ b) * 1099511628211ull; };
    for (quint8 b : id.addr)
        mix(b);
    mix(static_cast<quint8>(id.port >> 8));
    mix(static_cast<quint8>(id.port));
    mix(id.family);
    return h;
}

bool sender_from_sockaddr(const sockaddr* address, SenderId& id)
{
    id = SenderId();
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        std::memcpy(id.addr, &in->sin_addr, 4);
        id.port = ntohs(in->sin_port);
        id.family = 4;
        return true;
    }
    if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        std::memcpy(id.addr, &in6->sin6_addr, 16);
        id.port = ntohs(in6->sin6_port);
        id.family = 6;
        return true;
    }
    return false;
}

SenderId sender_id(const QHostAddress& address, quint16 port)
{
    SenderId id;
    id.port = port;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v4 = htonl(address.toIPv4Address());
        std::memcpy(id.addr, &v4, 4);
        id.family = 4;
    } else {
        const Q_IPV6ADDR v6 = address.toIPv6Address();
        std::memcpy(id.addr, v6.c, 16);
        id.family = 6;
    }
    return id;
}

QString sender_text(const SenderId& id)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (id.family == 4) {
        inet_ntop(AF_INET, id.addr, text, sizeof text);
        return QStringLiteral("%1:%2").arg(QLatin1String(text)).arg(id.port);
    }
    inet_ntop(AF_INET6, id.addr, text, sizeof text);
    return QStringLiteral("[%1]:%2").arg(QLatin1String(text)).arg(id.port);
}
