#include "station/forward_tap.h"

#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "station/payload_check.h"
#include "station/udp_receiver.h"

namespace {

// A connected socket to the target (each send names no address, and a
// station that is not listening shows up as a refused send); from is where
// it sends from, as the target sees it.
int open_forward_socket(const ForwardTap& tap, SenderId& from)
{
    sockaddr_storage storage;
    const socklen_t length = socket_address(tap.address, tap.port, storage);
    const int fd = socket(storage.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_storage local = {};
    socklen_t local_length = sizeof local;
    if (connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_length) != 0 ||
        !sender_from_sockaddr(reinterpret_cast<sockaddr*>(&local), from)) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// 0, or the errno of the send.
int send_once(int fd, const char* data, int size)
{
    ssize_t sent;
    do {
        sent = send(fd, data, static_cast<size_t>(size), MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? errno : 0;
}

void close_socket(ForwardTap& tap, ForwardTap::Socket& s)
{
    if (s.fd < 0)
        return;
    sockaddr_storage local = {};
    socklen_t length = sizeof local;
    SenderId from;
    if (getsockname(s.fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        sender_from_sockaddr(reinterpret_cast<sockaddr*>(&local), from))
        tap.own.erase(from);
    close(s.fd);
    s.fd = -1;
}

// 0 or the errno; the socket is (re)made when it has none.
int send_from(ForwardTap& tap, ForwardTap::Socket& s, const char* data, int size)
{
    if (s.fd < 0) {
        SenderId from;
        s.fd = open_forward_socket(tap, from);
        if (s.fd < 0)
            return errno;
        tap.own.insert(from);
    }
    const int error = send_once(s.fd, data, size);
    // A refusal is the answer to an earlier datagram (which the station did
    // not get): this one has not gone yet.
    if (error == ECONNREFUSED)
        send_once(s.fd, data, size);
    return error;
}

bool reports_now(ForwardTap::Socket& s, qint64 now_ms)
{
    if (s.last_report_ms >= 0 && now_ms - s.last_report_ms < 1000)
        return false;
    s.last_report_ms = now_ms;
    return true;
}

// An IPv4-mapped IPv6 address as IPv4.
SenderId unmapped(const SenderId& id)
{
    static const quint8 prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (id.family != 6 || std::memcmp(id.addr, prefix, sizeof prefix) != 0)
        return id;
    SenderId v4;
    std::memcpy(v4.addr, id.addr + 12, 4);
    v4.port = id.port;
    v4.family = 4;
    return v4;
}

bool is_any(const QHostAddress& a)
{
    return a == QHostAddress(QHostAddress::AnyIPv4) || a == QHostAddress(QHostAddress::AnyIPv6);
}

// Whether address is one of this machine's: it can be bound.
bool is_local(const QHostAddress& address)
{
    sockaddr_storage storage;
    const socklen_t length = socket_address(address, 0, storage);
    const int fd = socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0;
    close(fd);
    return bound;
}

// IPv4 as itself, an IPv4-mapped IPv6 address as IPv4.
QHostAddress plain(const QHostAddress& a)
{
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip) : a;
}

}  // namespace

bool same_endpoint(const SenderId& a, const SenderId& b)
{
    return unmapped(a) == unmapped(b);
}

ForwardOutcome forward_datagram(ForwardTap& tap, const SenderId& sender, const char* data, int size,
                                qint64 now_ms)
{
    ForwardOutcome outcome;
    const SenderId from = unmapped(sender);
    if (same_endpoint(from, tap.target) || tap.own.count(from) != 0) {
        outcome.came_back = true;
        return outcome;
    }
    outcome.serial = ++tap.serial;
    auto it = tap.sockets.find(sender);
    if (it == tap.sockets.end() && check_payload(data, size).ok) {
        if (static_cast<int>(tap.sockets.size()) < tap.max_sockets)
            it = tap.sockets.emplace(sender, ForwardTap::Socket()).first;
        else
            outcome.error = NO_OWN_SOCKET;
    }
    ForwardTap::Socket& s = it != tap.sockets.end() ? it->second : tap.shared;
    outcome.own_socket = it != tap.sockets.end();
    s.last_serial = outcome.serial;
    const int error = send_from(tap, s, data, size);
    if (error != 0)
        outcome.error = error;
    outcome.report = outcome.error != 0 && reports_now(s, now_ms);
    return outcome;
}

void forget_forward(ForwardTap& tap, const SenderId& sender, qint64 upto)
{
    auto it = tap.sockets.find(sender);
    if (it == tap.sockets.end() || it->second.last_serial > upto)
        return;
    close_socket(tap, it->second);
    tap.sockets.erase(it);
}

void close_forward_tap(ForwardTap& tap)
{
    for (auto& entry : tap.sockets)
        close_socket(tap, entry.second);
    tap.sockets.clear();
    close_socket(tap, tap.shared);
}

QString forward_error_text(int error)
{
    if (error == NO_OWN_SOCKET)
        return QStringLiteral("no socket of its own left for this stream, sent from the shared one");
    return QString::fromLocal8Bit(strerror(error));
}

bool forward_reaches_itself(const QHostAddress& bind_address, quint16 bound_port,
                            const QHostAddress& target, quint16 target_port)
{
    if (bound_port != target_port)
        return false;
    // Sending to the any-address reaches this machine.
    QHostAddress to = plain(target);
    if (is_any(to))
        to = to.protocol() == QAbstractSocket::IPv4Protocol ? QHostAddress(QHostAddress::LocalHost)
                                                            : QHostAddress(QHostAddress::LocalHostIPv6);
    if (bind_address == QHostAddress(QHostAddress::AnyIPv6))  // takes IPv4 too (dual stack)
        return is_local(to);
    const QHostAddress bound = plain(bind_address);
    if (bound == QHostAddress(QHostAddress::AnyIPv4))
        return to.protocol() == QAbstractSocket::IPv4Protocol && is_local(to);
    return to == bound;
}
