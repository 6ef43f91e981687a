#include "common/thread_handover.h"

#include <errno.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

bool open_handover_wake(int& wake_fd, QString& error)
{
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd >= 0)
        return true;
    error = QString::fromLocal8Bit(strerror(errno));
    return false;
}

void close_handover_wake(int& wake_fd)
{
    if (wake_fd >= 0)
        close(wake_fd);
    wake_fd = -1;
}

void wake_handover_owner(int wake_fd)
{
    const uint64_t one = 1;
    ssize_t written = write(wake_fd, &one, sizeof one);
    (void)written;
}

void clear_handover_wake(int wake_fd)
{
    uint64_t count = 0;
    ssize_t got = read(wake_fd, &count, sizeof count);
    (void)got;
}
