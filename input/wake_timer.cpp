#include "input/wake_timer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

int open_wake_timer()
{
    return ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
}

bool aim_wake_timer(int fd, qint64 at_ms)
{
    return aim_wake_timer_ns(fd, at_ms >= 0 ? at_ms * 1000000 : -1);
}

bool aim_wake_timer_ns(int fd, qint64 at_ns)
{
    struct itimerspec when = {};
    if (at_ns >= 0) {
        when.it_value.tv_sec = at_ns / 1000000000;
        when.it_value.tv_nsec = long(at_ns % 1000000000);
        // All zero would disarm; the clock's start itself is long past anyway.
        if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0)
            when.it_value.tv_nsec = 1;
    }
    return ::timerfd_settime(fd, TFD_TIMER_ABSTIME, &when, nullptr) == 0;
}

void clear_wake_timer(int fd)
{
    std::uint64_t expirations = 0;
    ssize_t ignored = ::read(fd, &expirations, sizeof expirations);
    (void)ignored;
}

void close_wake_timer(int fd)
{
    if (fd >= 0)
        ::close(fd);
}
