#include "common/thread_handover.h"

#include <errno.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

bool open_wake_fd(int& fd, QString& error)
{
    fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd >= 0)
        return true;
    error = QString::fromLocal8Bit(strerror(errno));
    return false;
}

void close_wake_fd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void set_wake_fd(int fd)
{
    const uint64_t one = 1;
    ssize_t written = write(fd, &one, sizeof one);
    (void)written;
}

void clear_wake_fd(int fd)
{
    uint64_t count = 0;
    ssize_t got = read(fd, &count, sizeof count);
    (void)got;
}
