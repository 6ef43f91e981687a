#include "hold/keepalive_timer.h"

#include <QSocketNotifier>

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

namespace {

void set_timer(int fd, int first_ms, int interval_ms)
{
    struct itimerspec when = {};
    when.it_value.tv_sec = first_ms / 1000;
    when.it_value.tv_nsec = long(first_ms % 1000) * 1000000L;
    when.it_interval.tv_sec = interval_ms / 1000;
    when.it_interval.tv_nsec = long(interval_ms % 1000) * 1000000L;
    ::timerfd_settime(fd, 0, &when, nullptr);
}

}  // namespace

bool open_keepalive_timer(KeepaliveTimer& t, int interval_ms, QObject* context,
                          std::function<void()> on_tick)
{
    t.interval_ms = interval_ms;
    t.fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (t.fd < 0)
        return false;
    t.notifier = new QSocketNotifier(t.fd, QSocketNotifier::Read, context);
    KeepaliveTimer* timer = &t;
    QObject::connect(t.notifier, &QSocketNotifier::activated, context, [timer, on_tick] {
        // Expiries missed while the loop was busy make one keepalive, as a
        // late timer's would.
        std::uint64_t expirations = 0;
        if (::read(timer->fd, &expirations, sizeof expirations) > 0 && timer->active)
            on_tick();
    });
    return true;
}

void start_keepalive_timer(KeepaliveTimer& t)
{
    if (t.fd < 0)
        return;
    set_timer(t.fd, t.interval_ms, t.interval_ms);
    t.active = true;
}

void stop_keepalive_timer(KeepaliveTimer& t)
{
    if (t.fd >= 0)
        set_timer(t.fd, 0, 0);  // all zero disarms
    t.active = false;
}

int keepalive_remaining_ms(const KeepaliveTimer& t)
{
    struct itimerspec now = {};
    if (!t.active || ::timerfd_gettime(t.fd, &now) != 0)
        return -1;
    return int(now.it_value.tv_sec * 1000 + now.it_value.tv_nsec / 1000000);
}

void close_keepalive_timer(KeepaliveTimer& t)
{
    delete t.notifier;
    t.notifier = nullptr;
    if (t.fd >= 0)
        ::close(t.fd);
    t.fd = -1;
    t.active = false;
}
