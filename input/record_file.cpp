#include "input/record_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QString>

int create_new_file(const QString& path)
{
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

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

void close_file(int fd)
{
    if (fd >= 0)
        ::close(fd);
}
