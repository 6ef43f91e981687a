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

bool append_whole(int fd, const char* bytes, std::size_t size, long long at)
{
    if (write_all(fd, bytes, size))
        return true;
    const int error_number = errno;
    // Best effort: if even this fails, the part is all that is left to lose.
    while (::ftruncate(fd, off_t(at)) < 0 && errno == EINTR) {
    }
    ::lseek(fd, off_t(at), SEEK_SET);
    errno = error_number;
    return false;
}

void remove_file(const QString& path)
{
    ::unlink(QFile::encodeName(path).constData());
}

void close_file(int fd)
{
    if (fd >= 0)
        ::close(fd);
}
