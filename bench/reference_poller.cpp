// Reference poller for the benchmark: the least a 5 ms key poll can do.
//
// Its timer makes only the system calls that keyline-bench's tick must make
// in one mode, and sends one datagram on each edge of the grave level (in
// terminal mode, on each grave byte typed into its terminal). No monitor, no
// hold, no keepalive, no log: whatever keyline-bench costs beyond this is its
// own overhead.
//
//   reference-poller --port N [--global-keys] [--device PATH]
//
// It prints one ready line and an empty line, then nothing; q typed into its
// terminal (or Esc/Q held on the device in system-wide mode) ends it.

#include <QByteArray>
#include <QCoreApplication>
#include <QHostAddress>
#include <QTimer>
#include <QUdpSocket>

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

constexpr int POLL_INTERVAL_MS = 5;
constexpr int KEY_STATE_BYTES = 96;
constexpr int EVENT_RECORD_BYTES = 24;
constexpr int TERMINAL_CHUNK_BYTES = 64;
constexpr uint64_t GRAVE_BIT = uint64_t(1) << 41;
constexpr uint64_t QUIT_KEYS_BITS = (uint64_t(1) << 1) | (uint64_t(1) << 16);

struct Poller {
    bool global_keys = false;
    int device_fd = -1;
    bool grave_down = false;
    bool quit = false;
    QUdpSocket* socket = nullptr;
    QHostAddress address;
    quint16 port = 0;
    QByteArray down_payload;  // same shape as keyline-bench's HOLD
    QByteArray up_payload;    // and its RELEASE
};

// EVIOCGKEY(96): the first word of the keys-down bitmap; 0 when it fails.
uint64_t key_state_word(int fd)
{
    unsigned char state[KEY_STATE_BYTES];
    std::memset(state, 0, sizeof state);
    if (::ioctl(fd, EVIOCGKEY(KEY_STATE_BYTES), state) < 0)
        return 0;
    uint64_t word;
    std::memcpy(&word, state, sizeof word);
    return word;
}

void drain_events(int fd)
{
    unsigned char record[EVENT_RECORD_BYTES];
    while (::read(fd, record, sizeof record) == EVENT_RECORD_BYTES) {
    }
}

// One read of the terminal; reports a grave byte and a quit byte in it.
void read_terminal(bool* grave, bool* quit)
{
    unsigned char chunk[TERMINAL_CHUNK_BYTES];
    const ssize_t n = ::read(0, chunk, sizeof chunk);
    for (ssize_t i = 0; i < n; ++i) {
        if (chunk[i] == 0x60)
            *grave = true;
        else if ((chunk[i] & 0xDF) == 0x51 || chunk[i] == 0x03 || chunk[i] == 0x1B)
            *quit = true;
    }
}

void send(Poller& p, bool down)
{
    p.socket->writeDatagram(down ? p.down_payload : p.up_payload, p.address, p.port);
}

// System-wide: drain, grave level, shift while grave is down, quit keys,
// one terminal read.
void tick_system_wide(Poller& p)
{
    drain_events(p.device_fd);
    const bool grave = (key_state_word(p.device_fd) & GRAVE_BIT) != 0;
    if (grave)
        (void)key_state_word(p.device_fd);  // the shift query of the latch gesture
    if ((key_state_word(p.device_fd) & QUIT_KEYS_BITS) != 0) {
        p.quit = true;
    } else {
        bool ignored = false;
        read_terminal(&ignored, &p.quit);
    }
    if (grave != p.grave_down) {
        p.grave_down = grave;
        send(p, grave);
    }
}

// This terminal: two terminal reads; a grave byte sends at once.
void tick_this_terminal(Poller& p)
{
    bool grave = false;
    read_terminal(&grave, &p.quit);
    read_terminal(&grave, &p.quit);
    if (grave)
        send(p, true);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);

    Poller p;
    p.address = QHostAddress(QStringLiteral("127.0.0.1"));
    const ReferenceArgs args = parse_reference_args(argc, argv);
    p.global_keys = args.global_keys;
    p.port = args.port;
    const char* device = args.device;
    p.down_payload = reference_payload(600);
    p.up_payload = reference_payload(0);

    // Opened in both modes, as keyline-bench does, so both hold the same descriptors.
    p.device_fd = ::open(device, O_RDONLY | O_NONBLOCK);
    if (p.device_fd < 0) {
        std::fprintf(stderr, "reference-poller: cannot open %s\n", device);
        return 1;
    }
    struct termios saved;
    const bool raw = raw_terminal(&saved);

    QUdpSocket socket;
    p.socket = &socket;

    std::printf("reference poller (%s) -> 127.0.0.1:%u\n\n",
                p.global_keys ? "system-wide" : "this terminal", unsigned(p.port));
    std::fflush(stdout);

    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(POLL_INTERVAL_MS);
    QObject::connect(&timer, &QTimer::timeout, &app, [&p] {
        if (p.global_keys)
            tick_system_wide(p);
        else
            tick_this_terminal(p);
        if (p.quit)
            QCoreApplication::quit();
    });
    timer.start();

    const int result = QCoreApplication::exec();
    if (raw)
        ::tcsetattr(0, TCSAFLUSH, &saved);
    return result;
}
