#include "common/write_all.h"

#include <cerrno>
#include <unistd.h>

namespace {

// offset < 0: at the file's own position.
bool write_whole(int fd, const char* bytes, std::size_t size, long long offset)
{
    while (size > 0) {
        const ssize_t n = offset < 0 ? ::write(fd, bytes, size) : ::pwrite(fd, bytes, size, off_t(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        size -= std::size_t(n);
        if (offset >= 0)
            offset += n;
    }
    return true;
}

}  // namespace

bool write_all(int fd, const char* bytes, std::size_t size)
{
    return write_whole(fd, bytes, size, -1);
}

bool write_all_at(int fd, const char* bytes, std::size_t size, long long offset)
{
    return write_whole(fd, bytes, size, offset);
}
