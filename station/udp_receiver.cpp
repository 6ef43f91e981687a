#include "station/udp_receiver.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QHostAddress>

#include "station/arrival_clock.h"

#include <cstring>

namespace {

qint64 timespec_ms(const timespec& t)
{
    return static_cast<qint64>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

socklen_t socket_address(const QHostAddress& address, quint16 port, sockaddr_storage& storage)
{
    storage = {};
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        return sizeof *in;
    }
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    std::memcpy(&in6->sin6_addr, v6.c, 16);
    in6->sin6_scope_id = address.scopeId().toUInt();
    return sizeof *in6;
}

int open_inhibit_socket(const QHostAddress& address, quint16 port, quint16& bound_port,
                        QString& error)
{
    sockaddr_storage storage;
    const socklen_t length = socket_address(address, port, storage);
    const int family = storage.ss_family;

    const int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = QString::fromLocal8Bit(strerror(errno));
        return -1;
    }
    const int on = 1;
    // Room for bursts while the program is busy writing; capped by the system.
    const int buffer_bytes = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_bytes, sizeof buffer_bytes);
    if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        error = QString::fromLocal8Bit(strerror(errno));
        close(fd);
        return -1;
    }
    sockaddr_storage bound = {};
    socklen_t bound_length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_length);
    bound_port = ntohs(bound.ss_family == AF_INET6
                           ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                           : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return fd;
}

bool receive_raw(int fd, char* buffer, int capacity, bool wait, qint64& queue_empty_ms, RawDatagram& out)
{
    const qint64 before = wait ? 0 : station_now_ms();
    sockaddr_storage source = {};
    iovec io = {buffer, static_cast<size_t>(capacity)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(quint32))];
    msghdr message = {};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;

    ssize_t size;
    do {
        size = recvmsg(fd, &message, wait ? 0 : MSG_DONTWAIT);
    } while (size < 0 && errno == EINTR);
    if (size < 0) {
        if (!wait && (errno == EAGAIN || errno == EWOULDBLOCK))
            queue_empty_ms = before;
        return false;
    }
    out.size = static_cast<int>(size);
    out.stamp_realtime_ms = -1;  // the kernel gave no stamp
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET)
            continue;
        if (c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            out.stamp_realtime_ms = timespec_ms(stamp);
        } else if (c->cmsg_type == SO_RXQ_OVFL) {
            quint32 drops;  // sent only once there are any
            std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
            out.kernel_drops = drops;
        }
    }
    if (!sender_from_sockaddr(reinterpret_cast<sockaddr*>(&source), out.sender))
        out.sender = SenderId();
    return true;
}

ReceivedDatagram arrival_of(const RawDatagram& raw, QueueReading& queue)
{
    ClockReading now;
    now.station_ms = station_now_ms();
    now.realtime_ms = realtime_now_ms();
    ReceivedDatagram out;
    out.size = raw.size;
    out.sender = raw.sender;
    out.kernel_drops = raw.kernel_drops;
    out.arrival_ms = take_arrival(queue, raw.stamp_realtime_ms, now);
    return out;
}

bool receive_datagram(int fd, char* buffer, int capacity, QueueReading& queue, ReceivedDatagram& out)
{
    RawDatagram raw;
    raw.kernel_drops = out.kernel_drops;
    if (!receive_raw(fd, buffer, capacity, false, queue.empty_ms, raw))
        return false;
    out = arrival_of(raw, queue);
    return true;
}

qint64 socket_kernel_drops(int fd)
{
    quint32 info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof info;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length) != 0 || length <= SK_MEMINFO_DROPS * sizeof(quint32))
        return -1;
    return info[SK_MEMINFO_DROPS];
}

qint64 realtime_now_ms()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return timespec_ms(now);
}

qint64 station_now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return timespec_ms(now);
}
