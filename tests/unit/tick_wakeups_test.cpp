// What follows a tick: the hang timer set for the deadline itself, and a
// keyboard that went away let go of and reported.

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTextStream>

#include "bench_test_events.h"
#include <QTimer>

#include "input/evdev_discovery.h"
#include "input/terminal_keys.h"
#include "monitor/key_poll_tick.h"
#include "monitor/keying_monitor.h"
#include "monitor/monotonic_clock.h"
#include "monitor/tick_wakeups.h"
#include "qt_test_app.h"

namespace {

bool g_grave = false;
KeyLevels fake_keys()
{
    KeyLevels levels;
    levels.grave = g_grave;
    return levels;
}
void no_terminal() {}

struct Wakeups : ::testing::Test {
    static void SetUpTestSuite() { qt_test_app(); }

    QString out_text, err_text;
    QTextStream out{&out_text}, err{&err_text};
    TestEvents log;
    qint64 deadline = -1;
    std::vector<qint64> released_ns;  // clock at each "hang done" release
    Monitor monitor;
    PollTick tick;
    QObject context;
    TickWakeups w;

    void SetUp() override
    {
        g_grave = false;
        g_term_raw = false;
        g_evdev_fd = -1;
        g_evdev_gone = nullptr;
        monitor.hang_deadline_ms = &deadline;
        monitor.events = w.events = log.attach(&out, &err);
        monitor.fixed_hang_set = true;
        monitor.fixed_hang_ms = 40;
        monitor.hold.start_hold = [] {};
        monitor.hold.release_hold = [this](const char* note) {
            deadline = -1;
            if (std::string(note) == "hang done / EOT")
                released_ns.push_back(monotonic_now_ns());
        };
        tick.global_keys = true;
        tick.monitor = &monitor;
        tick.sources = KeySources{monotonic_now_ms, fake_keys, no_terminal};
        w.tick = &tick;
        w.hang_deadline_ms = &deadline;
        start_tick_wakeups(w, &context);
    }
    void TearDown() override
    {
        close_tick_wakeups(w);
        close_evdev_keyboard();
        g_evdev_path.clear();
    }

    static void run_loop_for(int ms)
    {
        QEventLoop loop;
        QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
};

TEST_F(Wakeups, HangTimerReleasesAfterTheFullHangToTheNanosecond)
{
    // Several marks, so the open falls at different points of a millisecond.
    for (int mark = 0; mark < 5; ++mark) {
        released_ns.clear();
        g_grave = true;
        run_tick(w);
        EXPECT_EQ(w.hang_at_ns, -1);
        g_grave = false;
        const qint64 edge_ns = monotonic_now_ns();
        run_tick(w);  // KEY OPEN: a 40 ms hang
        const qint64 opened_ns = monotonic_now_ns();
        ASSERT_GE(deadline, 0);
        EXPECT_GE(w.hang_at_ns, edge_ns + 40000000);
        EXPECT_LE(w.hang_at_ns, opened_ns + 40000000);

        run_loop_for(80);  // no 5 ms poll here: only the hang timer can release
        ASSERT_EQ(released_ns.size(), 1u);
        EXPECT_GE(released_ns[0], edge_ns + 40000000);  // never before the full hang
        EXPECT_LE(released_ns[0] - opened_ns, 40000000 + 20000000);  // loose for a loaded machine
        EXPECT_EQ(deadline, -1);
        EXPECT_EQ(w.hang_at_ns, -1);
    }
}

TEST_F(Wakeups, NewMarkDuringTheHangStopsTheTimer)
{
    g_grave = true;
    run_tick(w);
    g_grave = false;
    run_tick(w);
    ASSERT_GE(w.hang_at_ns, 0);
    g_grave = true;
    run_tick(w);  // the hang is cancelled, the hold goes on
    EXPECT_EQ(deadline, -1);
    EXPECT_EQ(w.hang_at_ns, -1);
    run_loop_for(60);
    EXPECT_TRUE(released_ns.empty());
}

TEST_F(Wakeups, GoneKeyboardIsClosedReportedOnceAndLookedFor)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[1]);
    g_evdev_fd = fds[0];
    g_evdev_path = "/dev/input/by-path/platform-i8042-serio-0-event-kbd";
    g_evdev_gone = "no such device";

    run_tick(w);
    EXPECT_EQ(g_evdev_fd, -1);
    EXPECT_EQ(g_evdev_gone, nullptr);
    EXPECT_TRUE(w.search_timer->isActive());
    EXPECT_EQ(w.search_timer->interval(), 1000);
    const QStringList lines = err_text.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0].mid(12),
              "  keyboard lost: /dev/input/by-path/platform-i8042-serio-0-event-kbd (no such device); "
              "the KEY reads as up until a keyboard is found");
    run_tick(w);
    EXPECT_EQ(err_text.count('\n'), 1);
}

}  // namespace
