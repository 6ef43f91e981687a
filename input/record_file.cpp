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

void remove_file(const QString& path)
{
    ::unlink(QFile::encodeName(path).constData());
}

void close_file(int fd)
{
    if (fd >= 0)
        ::close(fd);
}
