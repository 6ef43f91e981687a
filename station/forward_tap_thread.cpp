#include "station/forward_tap_thread.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "station/udp_receiver.h"

namespace {

struct Gone {
    SenderId sender;
    qint64 upto = 0;
};

void wake(int fd)
{
    const quint64 one = 1;
    ssize_t written;
    do {
        written = write(fd, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

void hand_over(ForwardThread& t, const TapRecord& record, const char* data, int size)
{
    if (!t.records.put(&record, sizeof record, data, static_cast<std::size_t>(size)))
        t.unchecked.fetch_add(1, std::memory_order_relaxed);
    wake(t.wake_fd);
}

// Asks the scheduler for the shortest time slice (Linux 6.12 and later; an
// older kernel takes the call and ignores the slice). Woken by a datagram,
// the thread then runs at once rather than after the task that woke it:
// without it, the checker's own CPU time, counted against the process, made
// each forward wait about 20 us on an idle machine. Policy and nice are kept.
void ask_short_slice()
{
    // The kernel's struct sched_attr as first published (glibc before 2.41
    // has neither it nor the call).
    struct {
        quint32 size;
        quint32 sched_policy;
        quint64 sched_flags;
        qint32 sched_nice;
        quint32 sched_priority;
        quint64 sched_runtime;
        quint64 sched_deadline;
        quint64 sched_period;
    } attr = {};
    static_assert(sizeof attr == 48, "sched_attr, first version");
    if (sched_getscheduler(0) != SCHED_OTHER)
        return;
    attr.size = sizeof attr;
    attr.sched_policy = SCHED_OTHER;
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);  // this thread's
    if (errno != 0)
        return;
    attr.sched_nice = nice;
    attr.sched_runtime = 100 * 1000;  // ns, the least the kernel takes
    if (syscall(SYS_sched_setattr, 0, &attr, 0) != 0) {
        // Refused or unknown: the thread keeps the default slice.
    }
}

void run(ForwardThread& t)
{
    ask_short_slice();
    std::vector<char> buffer(65536);
    QueueReading queue;
    queue.empty_ms = queue.last_arrival_ms = station_now_ms();
    RawDatagram raw;
    while (!t.stop.load(std::memory_order_acquire)) {
        Gone gone;
        std::size_t none = 0;
        while (t.gone.take(&gone, sizeof gone, nullptr, 0, none))
            forget_forward(t.tap, gone.sender, gone.upto);

        // Without waiting first, so that a queue found empty bounds the
        // arrival of what comes next (arrival_clock.h).
        if (!receive_raw(t.fd, buffer.data(), static_cast<int>(buffer.size()), false, queue.empty_ms, raw) &&
            !receive_raw(t.fd, buffer.data(), static_cast<int>(buffer.size()), true, queue.empty_ms, raw))
            continue;
        if (t.stop.load(std::memory_order_acquire))
            break;

        TapRecord record;
        int size = 0;
        if (same_endpoint(raw.sender, t.marker_from)) {
            record.kind = TapRecord::Marker;
            if (raw.size == sizeof record.serial)
                std::memcpy(&record.serial, buffer.data(), sizeof record.serial);
        } else {
            const ForwardOutcome outcome =
                forward_datagram(t.tap, raw.sender, buffer.data(), raw.size, station_now_ms());
            record.kind = outcome.came_back ? TapRecord::CameBack : TapRecord::Datagram;
            record.own_socket = outcome.own_socket;
            record.report = outcome.report;
            record.error = outcome.error;
            record.serial = outcome.serial;
            size = outcome.came_back ? 0 : raw.size;
        }
        const ReceivedDatagram datagram = arrival_of(raw, queue);
        record.sender = datagram.sender;
        record.arrival_ms = datagram.arrival_ms;
        record.kernel_drops = datagram.kernel_drops;
        hand_over(t, record, buffer.data(), size);
    }
}

// The address a datagram to the socket bound at bind_address reaches it by.
QHostAddress reachable(const QHostAddress& bind_address)
{
    if (bind_address == QHostAddress(QHostAddress::AnyIPv4))
        return QHostAddress(QHostAddress::LocalHost);
    if (bind_address == QHostAddress(QHostAddress::AnyIPv6))
        return QHostAddress(QHostAddress::LocalHostIPv6);
    return bind_address;
}

}  // namespace

bool start_forward_thread(ForwardThread& t, int fd, const QHostAddress& bind_address, QString& error)
{
    t.fd = fd;
    sockaddr_storage own = {};
    socklen_t own_length = sizeof own;
    getsockname(fd, reinterpret_cast<sockaddr*>(&own), &own_length);
    SenderId bound;
    sender_from_sockaddr(reinterpret_cast<sockaddr*>(&own), bound);

    sockaddr_storage to;
    const socklen_t to_length = socket_address(reachable(bind_address), bound.port, to);
    sockaddr_storage from = {};
    socklen_t from_length = sizeof from;
    t.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    t.marker_fd = socket(to.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (t.wake_fd < 0 || t.marker_fd < 0 ||
        connect(t.marker_fd, reinterpret_cast<sockaddr*>(&to), to_length) != 0 ||
        getsockname(t.marker_fd, reinterpret_cast<sockaddr*>(&from), &from_length) != 0 ||
        !sender_from_sockaddr(reinterpret_cast<sockaddr*>(&from), t.marker_from) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    t.tap.target = sender_id(t.tap.address, t.tap.port);
    t.thread = std::thread(run, std::ref(t));
    return true;
}

bool take_tap_record(ForwardThread& t, TapRecord& record, std::vector<char>& data, int& size)
{
    std::size_t taken = 0;
    if (!t.records.take(&record, sizeof record, data.data(), data.size(), taken))
        return false;
    size = static_cast<int>(taken);
    return true;
}

void tap_stream_gone(ForwardThread& t, const SenderId& sender, qint64 upto)
{
    Gone gone;
    gone.sender = sender;
    gone.upto = upto;
    // Full only if the thread has not run for tens of thousands of these;
    // then the socket stays until the stream's next eviction.
    t.gone.put(&gone, sizeof gone, nullptr, 0);
}

qint64 send_tap_marker(ForwardThread& t)
{
    const qint64 serial = ++t.markers_sent;
    send(t.marker_fd, &serial, sizeof serial, MSG_DONTWAIT);
    return serial;
}

void wait_tap_records(ForwardThread& t, int timeout_ms)
{
    // The wake-ups of records already taken are cleared first, so that the
    // wait does not spin on them.
    clear_tap_wake(t);
    if (!t.records.empty())
        return;
    pollfd p = {t.wake_fd, POLLIN, 0};
    poll(&p, 1, timeout_ms);
}

void clear_tap_wake(ForwardThread& t)
{
    quint64 count;
    if (read(t.wake_fd, &count, sizeof count) < 0) {
        // EAGAIN: nothing to clear.
    }
}

void wake_if_records_wait(ForwardThread& t)
{
    if (!t.records.empty())
        wake(t.wake_fd);
}

void stop_forward_thread(ForwardThread& t)
{
    if (t.thread.joinable()) {
        t.stop.store(true, std::memory_order_release);
        // Wakes the receive call: it returns at once from now on.
        shutdown(t.fd, SHUT_RD);
        t.thread.join();
    }
    close_forward_tap(t.tap);
    if (t.marker_fd >= 0)
        close(t.marker_fd);
    if (t.wake_fd >= 0)
        close(t.wake_fd);
    t.marker_fd = t.wake_fd = -1;
}
