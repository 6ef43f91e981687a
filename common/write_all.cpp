#include "common/write_all.h"

#include <cerrno>
#include <unistd.h>

bool write_all(int fd, const char* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        size -= std::size_t(n);
    }
    return true;
}
