#include "common/output_path.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "common/write_all.h"

namespace {

QString reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

// Files of these file systems are made by the kernel: writing one fails or
// changes the system, never stores a report.
bool kernel_file_system(const QString& path)
{
    struct statfs fs;
    if (::statfs(native(path).constData(), &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x9fa0:      // proc
    case 0x62656572:  // sysfs
    case 0x64626720:  // debugfs
    case 0x74726163:  // tracefs
    case 0x73636673:  // securityfs
    case 0x27e0eb:    // cgroup
    case 0x63677270:  // cgroup2
    case 0x62656570:  // configfs
    case 0xcafe4a11:  // bpf
    case 0xde5e81e4:  // efivarfs
        return true;
    default:
        return false;
    }
}

// The problem with one output alone, or an empty text.
QString path_problem(const OutputPath& o)
{
    const QString head = o.option + QLatin1Char(' ') + o.path + QStringLiteral(": ");
    struct stat st;
    if (::lstat(native(o.path).constData(), &st) != 0) {
        if (errno != ENOENT)
            return head + reason(errno);
        const QString folder = QFileInfo(o.path).absolutePath();
        if (::access(native(folder).constData(), W_OK | X_OK) != 0)
            return head + QStringLiteral("cannot be created in %1: %2").arg(folder, reason(errno));
        if (kernel_file_system(folder))
            return head + QStringLiteral("is in a file system the kernel makes (procfs, sysfs): not a place for a file");
        return QString();
    }
    if (S_ISLNK(st.st_mode))
        return head + QStringLiteral("is a symbolic link (never followed): give the file's own path");
    if (o.kind == OutputKind::New)
        return head + QStringLiteral("exists already (a file is never replaced)");
    if (!S_ISREG(st.st_mode))
        return head + QStringLiteral("is not a regular file (a FIFO, a device or a folder is never written)");
    if (kernel_file_system(o.path))
        return head + QStringLiteral("is a file the kernel makes (procfs, sysfs), not a place for a report");
    if (::access(native(o.path).constData(), W_OK) != 0)
        return head + QStringLiteral("cannot be written: %1").arg(reason(errno));
    return QString();
}

// Where a path that does not exist yet would be: its folder's real path and
// its name.
QString future_place(const QString& path)
{
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return (folder.isEmpty() ? info.absolutePath() : folder) + QLatin1Char('/') + info.fileName();
}

}  // namespace

bool same_file(const FileIdentity& a, const FileIdentity& b)
{
    return a.known && b.known && a.dev == b.dev && a.ino == b.ino;
}

bool unchanged_file(const FileIdentity& a, const FileIdentity& b)
{
    return same_file(a, b) && a.ctime_ns == b.ctime_ns;
}

namespace {

FileIdentity identity_of(const struct stat& st)
{
    FileIdentity id;
    id.known = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.ctime_ns = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return id;
}

}  // namespace

FileIdentity fd_identity(int fd)
{
    struct stat st;
    return ::fstat(fd, &st) == 0 ? identity_of(st) : FileIdentity();
}

FileIdentity path_identity(const QString& path)
{
    struct stat st;
    return ::lstat(native(path).constData(), &st) == 0 ? identity_of(st) : FileIdentity();
}

bool same_place(const QString& a, const QString& b)
{
    const FileIdentity id = path_identity(a);
    return id.known ? same_file(id, path_identity(b)) : future_place(a) == future_place(b);
}

QString output_paths_problem(const std::vector<OutputPath>& outputs)
{
    std::vector<const OutputPath*> given;
    for (const OutputPath& o : outputs)
        if (!o.path.isEmpty())
            given.push_back(&o);
    for (const OutputPath* o : given) {
        const QString problem = path_problem(*o);
        if (!problem.isEmpty())
            return problem;
    }
    const FileIdentity standard[2] = {fd_identity(1), fd_identity(2)};
    for (size_t i = 0; i < given.size(); ++i) {
        const FileIdentity id = path_identity(given[i]->path);
        for (int s = 0; s < 2; ++s)
            if (same_file(id, standard[s]))
                return QStringLiteral("%1 %2: is the program's standard %3")
                    .arg(given[i]->option, given[i]->path, s == 0 ? QStringLiteral("output") : QStringLiteral("error"));
        for (size_t j = 0; j < i; ++j) {
            if (same_place(given[i]->path, given[j]->path))
                return QStringLiteral("%1 and %2 name the same file (%3): give each its own")
                    .arg(given[j]->option, given[i]->option, given[i]->path);
        }
    }
    return QString();
}

int open_report_file(const QString& path, bool& created, FileIdentity& identity, QString& error)
{
    const QByteArray name = native(path);
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    created = true;
    int fd = ::open(name.constData(), flags | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = ::open(name.constData(), flags);
    }
    if (fd < 0) {
        error = errno == ELOOP ? QStringLiteral("is a symbolic link (never followed)") : reason(errno);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = QStringLiteral("is not a regular file");
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    identity = fd_identity(fd);
    return fd;
}

bool replace_file_content(int fd, const char* bytes, qint64 size, QString& error)
{
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) < 0 || !write_all(fd, bytes, size_t(size))) {
        error = reason(errno);
        return false;
    }
    return true;
}

void remove_if_same(const QString& path, const FileIdentity& identity, bool written_since)
{
    const FileIdentity now = path_identity(path);
    if (identity.known && (written_since ? same_file(now, identity) : unchanged_file(now, identity)))
        ::unlink(native(path).constData());
}
