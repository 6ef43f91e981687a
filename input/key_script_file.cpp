#include "input/key_script_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QFile>

namespace {

constexpr int CHUNK_BYTES = 65536;

// Waits until `fd` has something to read (or its end); the first wait that
// lasts longer than the note's delay is said once through `waiting`.
bool wait_readable(int fd, const QString& path, void (*waiting)(const QString&), bool* said,
                   int* error_number)
{
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int timeout = *said || !waiting ? -1 : KEY_SCRIPT_WAIT_NOTE_MS;
        const int n = ::poll(&p, 1, timeout);
        if (n > 0)
            return true;
        if (n == 0) {
            *said = true;
            waiting(path);
            continue;
        }
        if (errno != EINTR) {
            *error_number = errno;
            return false;
        }
    }
}

bool read_all(int fd, const QString& path, void (*waiting)(const QString&), QByteArray* content,
              int* error_number)
{
    char chunk[CHUNK_BYTES];
    bool said = false;
    for (;;) {
        if (!wait_readable(fd, path, waiting, &said, error_number))
            return false;
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

bool read_key_script(const QString& path, QByteArray* content, QString* error,
                     void (*waiting)(const QString& path))
{
    content->clear();
    const auto fail = [&](const QString& reason) {
        *error = QStringLiteral("%1: %2").arg(path, reason);
        return false;
    };
    const bool from_stdin = path == QLatin1String("-");
    if (from_stdin && ::isatty(0))
        return fail(QStringLiteral("standard input is a terminal; pipe or redirect a script into it"));
    // Not blocking in open(): a FIFO with no writer yet is then waited for
    // where the wait can be said. Reads block again, and follow a poll.
    const int fd = from_stdin ? 0
                              : ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    if (!from_stdin)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int error_number = 0;
    const bool ok = read_all(fd, path, waiting, content, &error_number);
    if (!from_stdin)
        ::close(fd);
    if (!ok)
        return fail(QString::fromLocal8Bit(std::strerror(error_number)));
    if (content->size() > MAX_KEY_SCRIPT_BYTES && !content->contains('\0'))
        return fail(QStringLiteral("larger than %1 MiB, not a key script").arg(MAX_KEY_SCRIPT_BYTES >> 20));
    return true;
}
