#include "app/station/port_file.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "common/write_all.h"

bool write_port_file(PortFile& file, const QString& path, quint16 port, QString& error)
{
    file.path = path;
    const QByteArray line = QByteArray::number(port) + '\n';
    const QFileInfo info(path);
    // The temporary name is this process's own; O_EXCL never takes another's.
    const QByteArray temporary =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.%1.%2.tmp").arg(info.fileName()).arg(::getpid()));
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    bool ok = write_all(fd, line.constData(), size_t(line.size()));
    int failure = errno;
    const FileIdentity identity = fd_identity(fd);
    ::close(fd);
    // link() never replaces what is at the path, nor follows a link there.
    if (ok && ::link(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        ok = false;
        failure = errno;
    }
    ::unlink(temporary.constData());
    if (!ok) {
        error = failure == EEXIST ? QStringLiteral("exists already (a file is never replaced)")
                                  : QString::fromLocal8Bit(std::strerror(failure));
        return false;
    }
    // As it is once linked (a link changes the change time), if it is ours.
    const FileIdentity placed = path_identity(path);
    file.identity = same_file(placed, identity) ? placed : FileIdentity();
    return true;
}

void remove_port_file(PortFile& file)
{
    if (!file.path.isEmpty())
        remove_if_same(file.path, file.identity);
    file.identity = FileIdentity();
}
