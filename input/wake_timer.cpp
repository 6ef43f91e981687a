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
    struct itimerspec when = {};
    if (at_ms >= 0) {
        when.it_value.tv_sec = at_ms / 1000;
        when.it_value.tv_nsec = long(at_ms % 1000) * 1000000L;
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
