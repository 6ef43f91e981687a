#include "input/evdev_discovery.h"

#include "input/key_codes.h"

#include <QByteArray>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

int g_evdev_fd = -1;
QByteArray g_evdev_path;
const char* g_evdev_gone = nullptr;
QString g_evdev_fail_reason;
bool g_evdev_none_found = false;

namespace {

constexpr int EVENT_TYPE_BYTES = 8;
constexpr int KEY_CODE_BYTES = 96;
constexpr int EV_KEY_BIT = 1;      // EV_KEY in the event-type bitmap

// Bit n of a kernel capability bitmap: bit (n mod 64) of 64-bit word (n div 64),
// in native word layout.
bool bitmap_bit(const unsigned char* buf, int n)
{
    uint64_t word = 0;
    std::memcpy(&word, buf + (n / 64) * 8, sizeof word);
    return (word >> (n % 64)) & 1u;
}

int real_open_device(const char* path)
{
    // O_NOCTTY: should a candidate be a terminal after all, it must never
    // become ours, or its hang-up would end the run with SIGHUP.
    return ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
}

int real_query_event_types(int fd, unsigned char buf[8])
{
    return ::ioctl(fd, EVIOCGBIT(0, EVENT_TYPE_BYTES), buf);
}

int real_query_key_codes(int fd, unsigned char buf[96])
{
    return ::ioctl(fd, EVIOCGBIT(EV_KEY, KEY_CODE_BYTES), buf);
}

void real_close_device(int fd)
{
    ::close(fd);
}

enum class Outcome { accepted, rejected };

// Opens and checks one candidate path; the descriptor is closed unless accepted.
Outcome try_candidate(const char* path, const EvdevDeviceOps& ops, DiscoveryCounters& c, int* fd_out)
{
    const int fd = ops.open_device(path);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM)
            ++c.eacces;
        else
            ++c.other_open;
        return Outcome::rejected;
    }

    unsigned char types[EVENT_TYPE_BYTES];
    std::memset(types, 0, sizeof types);
    if (ops.query_event_types(fd, types) < 0) {
        ops.close_device(fd);
        return Outcome::rejected;
    }
    if (!bitmap_bit(types, EV_KEY_BIT)) {
        ops.close_device(fd);
        ++c.no_key;
        return Outcome::rejected;
    }

    unsigned char keys[KEY_CODE_BYTES];
    std::memset(keys, 0, sizeof keys);
    if (ops.query_key_codes(fd, keys) < 0 || !bitmap_bit(keys, KEY_CODE_GRAVE)) {
        ops.close_device(fd);
        ++c.no_grave;
        return Outcome::rejected;
    }

    *fd_out = fd;
    return Outcome::accepted;
}

// Scans one listing; true when a device was accepted (its descriptor in
// *fd_out, the path it was opened through in *path_out).
bool scan_directory(const SearchDir& dir, const EvdevDeviceOps& ops, DiscoveryCounters& c, int* fd_out,
                    QByteArray* path_out)
{
    DIR* listing = ::opendir(dir.path);
    if (!listing)
        return false;  // an unlistable directory is simply skipped

    bool found = false;
    while (!found) {
        const dirent* entry = ::readdir(listing);
        if (!entry)
            break;
        const QString name = QString::fromLocal8Bit(entry->d_name);
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        if (!dir.is_candidate(name))
            continue;

        // The raw entry bytes, not the decoded name, so odd names still open.
        QByteArray path(dir.path);
        path += '/';
        path += entry->d_name;

        if (try_candidate(path.constData(), ops, c, fd_out) == Outcome::accepted) {
            found = true;
            *path_out = path;
        } else
            ++c.tried;
    }
    ::closedir(listing);
    return found;
}

}  // namespace

EvdevDeviceOps real_evdev_device_ops()
{
    return EvdevDeviceOps{real_open_device, real_query_event_types, real_query_key_codes, real_close_device};
}

bool by_path_candidate(const QString& name)
{
    return name.contains(QLatin1String("event-kbd"), Qt::CaseSensitive);
}

bool event_node_candidate(const QString& name)
{
    return name.startsWith(QLatin1String("event"), Qt::CaseSensitive);
}

QString discovery_fail_reason(const DiscoveryCounters& c)
{
    if (c.tried == 0)
        return QStringLiteral("no /dev/input event-kbd devices found");
    if (c.eacces > 0)
        return QStringLiteral("permission denied on /dev/input (%1 devices; group 'input' required). "
                              "Fix: sudo usermod -aG input $USER   then log out and back in "
                              "(newgrp input is not enough for all sessions).")
            .arg(c.eacces);
    if (c.no_grave > 0 && c.other_open == 0)
        return QStringLiteral("opened input devices but none advertise KEY_GRAVE");
    return QStringLiteral("could not open a keyboard with KEY_GRAVE (tried=%1 eacces=%2 other_open=%3 no_key=%4 no_grave=%5)")
        .arg(c.tried)
        .arg(c.eacces)
        .arg(c.other_open)
        .arg(c.no_key)
        .arg(c.no_grave);
}

bool open_evdev_keyboard_in(const SearchDir* dirs, int dir_count, const EvdevDeviceOps& ops,
                            DiscoveryCounters* counters_out)
{
    g_evdev_fail_reason.clear();
    g_evdev_none_found = false;
    DiscoveryCounters c;

    for (int i = 0; i < dir_count; ++i) {
        int fd = -1;
        QByteArray path;
        if (scan_directory(dirs[i], ops, c, &fd, &path)) {
            g_evdev_fd = fd;
            g_evdev_path = path;
            g_evdev_gone = nullptr;
            if (counters_out)
                *counters_out = c;
            return true;
        }
    }

    g_evdev_fail_reason = discovery_fail_reason(c);
    g_evdev_none_found = c.tried == 0;
    if (counters_out)
        *counters_out = c;
    return false;
}

bool open_evdev_keyboard()
{
    static const SearchDir dirs[] = {
        {"/dev/input/by-path", by_path_candidate},
        {"/dev/input", event_node_candidate},
    };
    return open_evdev_keyboard_in(dirs, 2, real_evdev_device_ops());
}

void close_evdev_keyboard()
{
    if (g_evdev_fd >= 0)
        ::close(g_evdev_fd);
    g_evdev_fd = -1;
    g_evdev_gone = nullptr;
}
