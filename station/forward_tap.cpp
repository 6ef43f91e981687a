#include "station/forward_tap.h"

#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "station/stream_table.h"
#include "station/udp_receiver.h"

namespace {

int open_forward_socket(const QHostAddress& address, quint16 port)
{
    sockaddr_storage storage;
    const socklen_t length = socket_address(address, port, storage);
    const int family = storage.ss_family;
    const int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Connected: each send names no address, and a station that is not
    // listening shows up as a refused send.
    if (connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        close(fd);
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

void make_room(ForwardTap& tap)
{
    auto oldest = tap.sockets.end();
    for (auto it = tap.sockets.begin(); it != tap.sockets.end(); ++it)
        if (oldest == tap.sockets.end() || it->second.last_used_ms < oldest->second.last_used_ms)
            oldest = it;
    if (oldest == tap.sockets.end())
        return;
    close(oldest->second.fd);
    tap.sockets.erase(oldest);
}

}  // namespace

void forward_datagram(ForwardTap& tap, const SenderId& sender, qint64 arrival_ms, const char* data,
                      int size, StationEvents& events)
{
    auto it = tap.sockets.find(sender);
    if (it == tap.sockets.end()) {
        if (tap.max_sockets > 0 && static_cast<int>(tap.sockets.size()) >= tap.max_sockets)
            make_room(tap);
        ForwardTap::Socket fresh;
        fresh.fd = open_forward_socket(tap.address, tap.port);
        it = tap.sockets.emplace(sender, fresh).first;
    }
    ForwardTap::Socket& s = it->second;
    s.last_used_ms = arrival_ms;

    int error = 0;
    if (s.fd < 0) {
        s.fd = open_forward_socket(tap.address, tap.port);  // try again with each datagram
        error = s.fd < 0 ? errno : 0;
    }
    if (s.fd >= 0) {
        error = send_once(s.fd, data, size);
        // A refusal is the answer to an earlier datagram: this one has not
        // gone yet.
        if (error == ECONNREFUSED)
            send_once(s.fd, data, size);
    }
    if (error == 0)
        return;
    ++tap.errors;
    if (s.last_report_ms >= 0 && arrival_ms - s.last_report_ms < 1000)
        return;
    s.last_report_ms = arrival_ms;
    StationEvent event;
    event.kind = EventKind::ForwardFailed;
    event.at_ms = arrival_ms;
    event.from = sender_text(sender);
    event.address = tap.text;
    event.text = QString::fromLocal8Bit(strerror(error));
    events.push_back(event);
}

void close_evicted_forwards(ForwardTap& tap, const StreamTable& table, const SenderId& keep)
{
    for (auto it = tap.sockets.begin(); it != tap.sockets.end();) {
        if (it->first != keep && table.streams.find(it->first) == table.streams.end()) {
            if (it->second.fd >= 0)
                close(it->second.fd);
            it = tap.sockets.erase(it);
        } else {
            ++it;
        }
    }
}

void close_forward_tap(ForwardTap& tap)
{
    for (auto& entry : tap.sockets)
        if (entry.second.fd >= 0)
            close(entry.second.fd);
    tap.sockets.clear();
}
