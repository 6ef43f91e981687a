#include "input/key_script_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <QFile>

namespace {

constexpr int CHUNK_BYTES = 65536;

bool read_all(int fd, QByteArray* content, int* error_number)
{
    char chunk[CHUNK_BYTES];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error_number = errno;
            return false;
        }
        if (n == 0)
            return true;
        content->append(chunk, int(n));
        if (std::memchr(chunk, 0, size_t(n)) || content->size() > MAX_KEY_SCRIPT_BYTES)
            return true;
    }
}

}  // namespace

bool read_key_script(const QString& path, QByteArray* content, QString* error)
{
    content->clear();
    const auto fail = [&](const QString& reason) {
        *error = QStringLiteral("%1: %2").arg(path, reason);
        return false;
    };
    const bool from_stdin = path == QLatin1String("-");
    if (from_stdin && ::isatty(0))
        return fail(QStringLiteral("standard input is a terminal; pipe or redirect a script into it"));
    const int fd = from_stdin ? 0 : ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    int error_number = 0;
    const bool ok = read_all(fd, content, &error_number);
    if (!from_stdin)
        ::close(fd);
    if (!ok)
        return fail(QString::fromLocal8Bit(std::strerror(error_number)));
    if (content->size() > MAX_KEY_SCRIPT_BYTES && !content->contains('\0'))
        return fail(QStringLiteral("larger than %1 MiB, not a key script").arg(MAX_KEY_SCRIPT_BYTES >> 20));
    return true;
}
