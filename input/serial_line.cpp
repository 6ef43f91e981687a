#include "input/serial_line.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct LineName {
    const char* name;
    int mask;
};
const LineName LINES[] = {{"cts", TIOCM_CTS}, {"dsr", TIOCM_DSR}, {"dcd", TIOCM_CAR}, {"ri", TIOCM_RNG}};

constexpr int OUTPUT_LINES = TIOCM_DTR | TIOCM_RTS;

bool same_settings(const struct termios& a, const struct termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
        a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
        cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

}  // namespace

bool parse_serial_line(const QString& text, SerialLineWiring* wiring, QString* why)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) {
        *why = QStringLiteral("give DEVICE:LINE, as in /dev/ttyUSB0:dsr");
        return false;
    }
    QString line = text.mid(colon + 1).toLower();
    wiring->active_low = line.startsWith(QLatin1Char('!'));
    if (wiring->active_low)
        line.remove(0, 1);
    for (const LineName& l : LINES) {
        if (line == QLatin1String(l.name)) {
            wiring->device = text.left(colon).toLocal8Bit();
            wiring->line_name = line;
            wiring->mask = l.mask;
            return true;
        }
    }
    *why = QStringLiteral("LINE must be cts, dsr, dcd or ri, with ! before it for an active-low line "
                          "(as in /dev/ttyUSB0:!dsr), not \"%1\"")
               .arg(text.mid(colon + 1));
    return false;
}

bool serial_key_level(const SerialLineWiring& wiring, int modem_bits)
{
    return ((modem_bits & wiring.mask) != 0) != wiring.active_low;
}

bool open_serial_port(SerialPort& port, const QByteArray& device, QString* reason)
{
    // O_NOCTTY: never the controlling terminal; O_NONBLOCK: the open does
    // not wait for carrier, and no later call can block the tick.
    const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    int bits = 0;
    if (::ioctl(fd, TIOCMGET, &bits) < 0) {
        *reason = errno == ENOTTY || errno == EINVAL
            ? QStringLiteral("not a serial port (it has no modem-status lines)")
            : QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    port.fd = fd;
    port.outputs_saved = bits & OUTPUT_LINES;
    port.settings_saved = ::tcgetattr(fd, &port.settings) == 0;
    return true;
}

bool read_modem_bits(const SerialPort& port, int* bits)
{
    if (port.fd < 0) {
        errno = EBADF;
        return false;
    }
    return ::ioctl(port.fd, TIOCMGET, bits) == 0;
}

void close_serial_port(SerialPort& port)
{
    if (port.fd < 0)
        return;
    struct termios now {};
    if (port.settings_saved && ::tcgetattr(port.fd, &now) == 0 && !same_settings(now, port.settings))
        ::tcsetattr(port.fd, TCSANOW, &port.settings);
    int bits = 0;
    if (port.outputs_saved >= 0 && ::ioctl(port.fd, TIOCMGET, &bits) == 0 &&
        (bits & OUTPUT_LINES) != port.outputs_saved) {
        const int raise = port.outputs_saved & ~bits & OUTPUT_LINES;
        const int drop = bits & ~port.outputs_saved & OUTPUT_LINES;
        if (raise)
            ::ioctl(port.fd, TIOCMBIS, &raise);
        if (drop)
            ::ioctl(port.fd, TIOCMBIC, &drop);
    }
    ::close(port.fd);
    port.fd = -1;
}
