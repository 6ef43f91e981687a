// Event-woken reference for the benchmark: the least a program that wakes on
// the keyboard's own records can do.
//
// No timer. When the keyboard's device becomes readable it drains the queued
// records in one read; in system-wide mode it then makes one EVIOCGKEY and
// sends one datagram on each edge of the grave level (Esc or Q held quits).
// When its terminal becomes readable it reads once: in this-terminal mode a
// grave byte sends at once; q, Q, Esc or Ctrl-C quits in either mode. In
// this-terminal mode the records are drained and nothing more: the level
// only matters once a grave byte has come. No monitor, no hold, no
// keepalive, no log: whatever keyline-bench costs beyond this is its own.
//
//   event-reference --port N [--global-keys] [--device PATH]
//
// It prints one ready line and an empty line, then nothing. A device or a
// terminal that reports an error, a hang-up or its end stops being watched,
// so a lost keyboard never makes it spin.

#include <QByteArray>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QUdpSocket>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "reference_common.h"

namespace {

constexpr int KEY_STATE_BYTES = 96;
constexpr int EVENT_RECORD_BYTES = 24;
constexpr int RECORDS_PER_READ = 64;  // far more than one wake-up ever finds queued
constexpr int TERMINAL_CHUNK_BYTES = 64;
constexpr uint64_t GRAVE_BIT = uint64_t(1) << 41;
constexpr uint64_t QUIT_KEYS_BITS = (uint64_t(1) << 1) | (uint64_t(1) << 16);

struct Reference {
    bool global_keys = false;
    int device_fd = -1;
    bool grave_down = false;
    QUdpSocket* socket = nullptr;
    QHostAddress address;
    quint16 port = 0;
    QByteArray down_payload;  // same shape as keyline-bench's HOLD
    QByteArray up_payload;    // and its RELEASE
};

// Everything queued, in one read. False once the device is gone (an error
// other than "nothing more", or its end): the caller stops watching it.
bool drain_records(int fd)
{
    unsigned char records[RECORDS_PER_READ * EVENT_RECORD_BYTES];
    const ssize_t n = ::read(fd, records, sizeof records);
    if (n > 0)
        return true;
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

// EVIOCGKEY(96): the first word of the keys-down bitmap; false when it fails.
bool key_state_word(int fd, uint64_t* word)
{
    unsigned char state[KEY_STATE_BYTES];
    std::memset(state, 0, sizeof state);
    if (::ioctl(fd, EVIOCGKEY(KEY_STATE_BYTES), state) < 0)
        return false;
    std::memcpy(word, state, sizeof *word);
    return true;
}

void send(Reference& r, bool down)
{
    r.socket->writeDatagram(down ? r.down_payload : r.up_payload, r.address, r.port);
}

// One read of the terminal; false at its end or on an error (the caller
// stops watching it).
bool read_terminal(bool* grave, bool* quit)
{
    unsigned char chunk[TERMINAL_CHUNK_BYTES];
    const ssize_t n = ::read(0, chunk, sizeof chunk);
    if (n <= 0)
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    for (ssize_t i = 0; i < n; ++i) {
        if (chunk[i] == 0x60)
            *grave = true;
        else if ((chunk[i] & 0xDF) == 0x51 || chunk[i] == 0x03 || chunk[i] == 0x1B)
            *quit = true;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);

    Reference r;
    r.address = QHostAddress(QStringLiteral("127.0.0.1"));
    const ReferenceArgs args = parse_reference_args(argc, argv);
    r.global_keys = args.global_keys;
    r.port = args.port;
    const char* device = args.device;
    r.down_payload = reference_payload(600);
    r.up_payload = reference_payload(0);

    // Opened and drained in both modes: keys typed anywhere make it readable.
    r.device_fd = ::open(device, O_RDONLY | O_NONBLOCK);
    if (r.device_fd < 0) {
        std::fprintf(stderr, "event-reference: cannot open %s\n", device);
        return 1;
    }
    struct termios saved;
    const bool raw = raw_terminal(&saved);

    QUdpSocket socket;
    r.socket = &socket;

    std::printf("event reference (%s) -> 127.0.0.1:%u\n\n",
                r.global_keys ? "system-wide" : "this terminal", unsigned(r.port));
    std::fflush(stdout);

    QSocketNotifier device_ready(r.device_fd, QSocketNotifier::Read);
    QObject::connect(&device_ready, &QSocketNotifier::activated, &app, [&r, &device_ready] {
        if (!drain_records(r.device_fd)) {
            device_ready.setEnabled(false);
            return;
        }
        if (!r.global_keys)
            return;
        uint64_t word = 0;
        if (!key_state_word(r.device_fd, &word)) {
            if (errno == ENODEV)
                device_ready.setEnabled(false);
            return;
        }
        if ((word & QUIT_KEYS_BITS) != 0) {
            QCoreApplication::quit();
            return;
        }
        const bool grave = (word & GRAVE_BIT) != 0;
        if (grave != r.grave_down) {
            r.grave_down = grave;
            send(r, grave);
        }
    });

    QSocketNotifier terminal_ready(0, QSocketNotifier::Read);
    QObject::connect(&terminal_ready, &QSocketNotifier::activated, &app, [&r, &terminal_ready] {
        bool grave = false;
        bool quit = false;
        if (!read_terminal(&grave, &quit)) {
            terminal_ready.setEnabled(false);
            return;
        }
        if (grave && !r.global_keys)
            send(r, true);
        if (quit)
            QCoreApplication::quit();
    });

    const int result = QCoreApplication::exec();
    if (raw)
        ::tcsetattr(0, TCSAFLUSH, &saved);
    return result;
}
