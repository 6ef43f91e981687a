// The PTT poller against a real rigctld (hamlib's dummy rig): a watch gets
// every poll's reading; a KEY (changes_only) gets the first reading, then
// only the changes, each stamped with the first poll that saw it.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "rig/hamlib_rig.h"
#include "rig/ptt_poller.h"

extern char** environ;

// hamlib's network client keeps two small blocks past rig_cleanup: its leak,
// not ours (the sanitizer reads this hook; a plain build never calls it).
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libhamlib.so\n";
}

namespace {

int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    socklen_t size = sizeof at;
    getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
    close(fd);
    return ntohs(at.sin_port);
}

// A dummy rigctld and a connection of our own that keys it.
struct DummyRig {
    pid_t pid = -1;
    int keyer = -1;
    int port = free_port();

    bool start()
    {
        const std::string p = std::to_string(port);
        const char* argv[] = {"rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", p.c_str(), nullptr};
        if (posix_spawnp(&pid, "rigctld", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
            return false;
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < 200; ++i) {  // 10 s at most
            keyer = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(keyer, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0)
                return true;
            close(keyer);
            keyer = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Sets the PTT and waits for rigctld's "RPRT 0".
    bool key(bool on)
    {
        const char* command = on ? "T 1\n" : "T 0\n";
        if (write(keyer, command, 4) != 4)
            return false;
        char reply[64] = {0};
        int got = 0;
        while (got < int(sizeof reply) - 1 && (got == 0 || reply[got - 1] != '\n')) {
            const ssize_t n = read(keyer, reply + got, sizeof reply - 1 - got);
            if (n <= 0)
                return false;
            got += int(n);
        }
        return std::string(reply).rfind("RPRT 0", 0) == 0;
    }

    ~DummyRig()
    {
        if (keyer >= 0)
            close(keyer);
        if (pid > 0) {
            kill(pid, SIGKILL);  // rigctld ignores SIGTERM while clients are connected
            waitpid(pid, nullptr, 0);
        }
    }
};

void start(PttPoller& poller, const DummyRig& rig, bool changes_only)
{
    RigAddress address;
    QString error;
    ASSERT_TRUE(parse_rig_address(QStringLiteral("127.0.0.1:%1").arg(rig.port), address, error));
    RigHandle* handle = open_rig(address, error);
    ASSERT_NE(handle, nullptr) << error.toStdString();
    poller.changes_only = changes_only;
    ASSERT_TRUE(start_ptt_poller(poller, handle, 5, error)) << error.toStdString();
}

void settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

}  // namespace

TEST(PttPoller, AWatchGetsEveryPollAndAKeyOnlyTheChanges)
{
    DummyRig rig;
    ASSERT_TRUE(rig.start());
    PttPoller watch;
    PttPoller key;
    start(watch, rig, false);
    start(key, rig, true);
    settle();
    const qint64 before_on = rig_now_ms();
    ASSERT_TRUE(rig.key(true));
    settle();
    ASSERT_TRUE(rig.key(false));
    settle();
    std::vector<PttReading> every;
    std::vector<PttReading> changes;
    take_ptt_readings(watch, every);
    take_ptt_readings(key, changes);
    stop_ptt_poller(watch);
    stop_ptt_poller(key);

    // 900 ms at 5 ms: well over a hundred polls even on a loaded machine.
    EXPECT_GT(every.size(), 40u);
    ASSERT_EQ(changes.size(), 3u);
    bool level = false;
    for (size_t i = 0; i < changes.size(); ++i) {
        EXPECT_TRUE(changes[i].ok) << i;
        EXPECT_EQ(changes[i].on, level) << i;  // off, on, off
        level = !level;
    }
    // Stamped with the first poll that read on: the watch saw it no later.
    EXPECT_GE(changes[1].at_ms, before_on);
    qint64 first_on = -1;
    for (const PttReading& r : every)
        if (r.on && first_on < 0)
            first_on = r.at_ms;
    ASSERT_GE(first_on, 0);
    // A watch places a reading that says on no earlier than the PTT could be
    // on, so a hold that ended before is never blamed for it.
    for (const PttReading& r : every) {
        if (r.on) {
            EXPECT_GE(watch_time_ms(r), before_on);
        }
    }
    // A later poll's stamp would lie up to 300 ms on; the two pollers are a
    // poll apart, plus what a loaded machine adds.
    EXPECT_LT(std::abs(changes[1].at_ms - first_on), 100);
}
