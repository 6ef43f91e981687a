// The references for the KEY-line rows of the benchmark: the least a program
// can do to turn a modem-status line or a rig's PTT into one datagram per
// edge. No monitor, no hold, no keepalive, no log.
//
//   line-reference serial --port N --device PATH --mask BITS
//     blocks in TIOCMIWAIT on the port, reads TIOCMGET after each wake-up and
//     sends a datagram on each edge of the masked bits.
//   line-reference rig --port N --rig HOST:PORT --poll-ms MS
//     a bare rigctld client: sends "t" every MS ms (absolute deadlines on the
//     monotonic clock), reads the one-line answer and sends a datagram on
//     each change of PTT.
//   line-reference hamlib --port N --rig HOST:PORT --poll-ms MS
//     the same through hamlib's own client (rig_get_ptt, cache off): what
//     hamlib costs by itself.
//
// Both print "ready" once set up, run until killed, and never allocate in
// their loop.

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <clocale>
#include <hamlib/rig.h>

namespace {

const char HOLD[] = "{\"tx_inhibit\":1,\"ttl_ms\":600,\"station\":\"TEST-KEY\",\"band\":\"144\",\"seq\":1}";
const char RELEASE[] = "{\"tx_inhibit\":1,\"ttl_ms\":0,\"station\":\"TEST-KEY\",\"band\":\"144\",\"seq\":2}";

const char* arg(int argc, char** argv, const char* name)
{
    for (int i = 2; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return argv[i + 1];
    return nullptr;
}

int udp_to(int port, sockaddr_in* to)
{
    std::memset(to, 0, sizeof *to);
    to->sin_family = AF_INET;
    to->sin_port = htons(port);
    to->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::socket(AF_INET, SOCK_DGRAM, 0);
}

void send_level(int udp, const sockaddr_in& to, bool down)
{
    const char* body = down ? HOLD : RELEASE;
    ::sendto(udp, body, std::strlen(body), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int serial(int udp, const sockaddr_in& to, const char* device, int mask)
{
    const int fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return 1;
    int bits = 0;
    ::ioctl(fd, TIOCMGET, &bits);
    bool down = (bits & mask) != 0;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        if (::ioctl(fd, TIOCMIWAIT, mask) < 0 && errno != EINTR)
            return 1;
        if (::ioctl(fd, TIOCMGET, &bits) < 0)
            return 1;
        const bool now = (bits & mask) != 0;
        if (now != down)
            send_level(udp, to, now);
        down = now;
    }
}

void add_ms(timespec* t, int ms)
{
    t->tv_nsec += long(ms) * 1000000L;
    while (t->tv_nsec >= 1000000000L) {
        t->tv_nsec -= 1000000000L;
        ++t->tv_sec;
    }
}

int bare_rig(int udp, const sockaddr_in& to, const char* rig_text, int poll_ms)
{
    char host[64] = {0};
    const char* colon = std::strrchr(rig_text, ':');
    if (!colon || colon - rig_text >= int(sizeof host))
        return 2;
    std::memcpy(host, rig_text, colon - rig_text);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(std::atoi(colon + 1));
    if (::inet_pton(AF_INET, host, &at.sin_addr) != 1)
        return 2;
    const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(tcp, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(tcp, reinterpret_cast<const sockaddr*>(&at), sizeof at) < 0)
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    bool down = false;
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    char reply[64];
    for (;;) {
        if (::write(tcp, "t\n", 2) != 2)
            return 1;
        // The answer is one short line ("0\n" or "1\n").
        int got = 0;
        while (got == 0 || reply[got - 1] != '\n') {
            const ssize_t n = ::read(tcp, reply + got, sizeof reply - 1 - got);
            if (n <= 0)
                return 1;
            got += int(n);
            if (got >= int(sizeof reply) - 1)
                break;
        }
        const bool now = reply[0] == '1';
        if (now != down)
            send_level(udp, to, now);
        down = now;
        add_ms(&next, poll_ms);
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
    }
}

int hamlib_rig(int udp, const sockaddr_in& to, const char* rig_text, int poll_ms)
{
    setlocale(LC_NUMERIC, "C");
    rig_set_debug(RIG_DEBUG_NONE);
    RIG* rig = rig_init(2);  // hamlib's NET rigctl client
    if (!rig || rig_set_conf(rig, rig_token_lookup(rig, "rig_pathname"), rig_text) != RIG_OK ||
        rig_open(rig) != RIG_OK)
        return 1;
    rig_set_cache_timeout_ms(rig, HAMLIB_CACHE_PTT, 0);
    std::printf("ready\n");
    std::fflush(stdout);
    bool down = false;
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        ptt_t ptt = RIG_PTT_OFF;
        if (rig_get_ptt(rig, RIG_VFO_CURR, &ptt) != RIG_OK)
            return 1;
        const bool now = ptt != RIG_PTT_OFF;
        if (now != down)
            send_level(udp, to, now);
        down = now;
        add_ms(&next, poll_ms);
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const char* port = argc > 1 ? arg(argc, argv, "--port") : nullptr;
    if (argc < 2 || !port)
        return 2;
    sockaddr_in to{};
    const int udp = udp_to(std::atoi(port), &to);
    if (std::strcmp(argv[1], "serial") == 0) {
        const char* device = arg(argc, argv, "--device");
        const char* mask = arg(argc, argv, "--mask");
        return device && mask ? serial(udp, to, device, std::atoi(mask)) : 2;
    }
    if (std::strcmp(argv[1], "rig") == 0) {
        const char* rig_text = arg(argc, argv, "--rig");
        const char* poll = arg(argc, argv, "--poll-ms");
        return rig_text && poll ? bare_rig(udp, to, rig_text, std::atoi(poll)) : 2;
    }
    if (std::strcmp(argv[1], "hamlib") == 0) {
        const char* rig_text = arg(argc, argv, "--rig");
        const char* poll = arg(argc, argv, "--poll-ms");
        return rig_text && poll ? hamlib_rig(udp, to, rig_text, std::atoi(poll)) : 2;
    }
    return 2;
}
