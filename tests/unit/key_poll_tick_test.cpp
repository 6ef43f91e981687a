// The key poll tick's decisions with a fake clock, fake probes and a fake
// terminal reader.

#include <gtest/gtest.h>

#include <deque>
#include <time.h>
#include <string>
#include <vector>

#include <QString>
#include <QTextStream>

#include "bench_test_events.h"

#include "input/terminal_keys.h"
#include "monitor/key_poll_tick.h"
#include "monitor/keying_monitor.h"
#include "monitor/monotonic_clock.h"

namespace {

// What the fakes answer, and the order in which the tick asked.
struct FakeWorld {
    qint64 now = 0;
    bool grave = false;
    bool shift = false;
    bool quit_keys = false;
    bool query_fails = false;  // the key-state query fails: every key reads as up
    std::deque<std::string> terminal_bytes;  // one entry per poll_terminal call that has input
    std::vector<std::string> calls;
};
FakeWorld world;

qint64 fake_now()
{
    world.calls.push_back("clock");
    return world.now;
}
KeyLevels fake_read_keys()
{
    world.calls.push_back("keys");
    KeyLevels levels;
    if (!world.query_fails) {
        levels.grave = world.grave;
        levels.shift = world.shift;
        levels.quit_keys = world.quit_keys;
    }
    return levels;
}
void fake_poll_terminal()
{
    world.calls.push_back("poll");
    if (world.terminal_bytes.empty())
        return;
    const std::string chunk = world.terminal_bytes.front();
    world.terminal_bytes.pop_front();
    const TerminalMarks marks =
        scan_terminal_bytes(reinterpret_cast<const unsigned char*>(chunk.data()), long(chunk.size()));
    g_stdin_space = g_stdin_space || marks.key;
    g_stdin_latch = g_stdin_latch || marks.latch;
    g_stdin_quit = g_stdin_quit || marks.quit;
}

struct TickFixture : ::testing::Test {
    QString text;
    QTextStream out{&text};
    TestEvents log;
    std::vector<std::string> holds;  // "start", "release:<note>"
    bool hold_active = false;
    qint64 deadline = -1;
    Monitor monitor;
    PollTick tick;
    std::vector<int> ended_with;

    void SetUp() override
    {
        world = FakeWorld{};
        text.clear();
        holds.clear();
        ended_with.clear();
        hold_active = false;
        deadline = -1;
        monitor = Monitor{};
        tick = PollTick{};
        g_stdin_space = g_stdin_latch = g_stdin_quit = false;
        g_term_raw = true;  // the fake reader stands in for the raw terminal
        monitor.hang_deadline_ms = &deadline;
        monitor.events = tick.events = log.attach(&out);
        monitor.hold.start_hold = [this] {
            holds.push_back("start");
            hold_active = true;
        };
        monitor.hold.release_hold = [this](const char* note) {
            deadline = -1;
            if (hold_active)
                holds.push_back(std::string("release:") + note);
            hold_active = false;
        };
        tick.monitor = &monitor;
        tick.sources = KeySources{fake_now, fake_read_keys, fake_poll_terminal};
        tick.end_run = [this](int status) { ended_with.push_back(status); };
    }
    void TearDown() override
    {
        g_term_raw = false;
        g_stdin_space = g_stdin_latch = g_stdin_quit = false;
    }

    void tick_at(qint64 now)
    {
        world.now = now;
        key_poll_tick(tick);
    }
    // Ticks every 5 ms from 'from' up to and including 'to'.
    void tick_through(qint64 from, qint64 to)
    {
        for (qint64 t = from; t <= to; t += 5)
            tick_at(t);
    }
    int count_lines(const QString& what) const { return text.count(what); }
};

}  // namespace

TEST_F(TickFixture, TerminalTapCountsForTheWholePressWindowAndNoLonger)
{
    world.terminal_bytes = {"`"};
    tick_at(1000);
    EXPECT_TRUE(monitor.key_asserted);
    EXPECT_EQ(holds, std::vector<std::string>{"start"});
    tick_at(1024);  // 24 ms after the byte: still inside
    EXPECT_TRUE(monitor.key_asserted);
    EXPECT_EQ(count_lines("KEY OPEN"), 0);
    tick_at(1025);  // 25: outside, the device never showed the key down
    EXPECT_FALSE(monitor.key_asserted);
    EXPECT_FALSE(tick.tty_armed);
    EXPECT_EQ(tick.tty_press_ms, -1);
    EXPECT_EQ(count_lines("KEY OPEN   hang=315 ms  class=break-in CW  dit~25 ms  ~48 WPM"), 1);
}

TEST_F(TickFixture, TerminalModeLeavesTheDeviceAloneUntilAByteArrives)
{
    world.grave = true;  // held in another window
    tick_through(0, 100);
    EXPECT_FALSE(monitor.key_asserted);
    for (const std::string& call : world.calls)
        EXPECT_NE(call, "keys");
    EXPECT_TRUE(holds.empty());
}

TEST_F(TickFixture, TerminalPressLastsWhileTheDeviceShowsTheKeyDown)
{
    world.terminal_bytes = {"`"};
    world.grave = true;
    tick_through(1000, 1400);
    EXPECT_TRUE(monitor.key_asserted);
    world.grave = false;
    tick_at(1405);  // byte 405 ms ago, key up: opens at once
    EXPECT_FALSE(monitor.key_asserted);
    EXPECT_EQ(count_lines("KEY OPEN   hang=1260 ms  class=break-in CW  dit~405 ms  ~3 WPM"), 1);
}

TEST_F(TickFixture, TildeLatchesAndTheNextPressReleases)
{
    world.terminal_bytes = {"~"};
    tick_at(1000);
    EXPECT_TRUE(tick.latched);
    tick_through(1005, 2000);  // key up, press window long over: latched KEY stays asserted
    EXPECT_TRUE(monitor.key_asserted);
    EXPECT_EQ(count_lines("KEY OPEN"), 0);

    world.terminal_bytes = {"~"};  // a tilde in the releasing press does not latch again
    tick_at(2005);
    EXPECT_FALSE(tick.latched);
    EXPECT_TRUE(monitor.key_asserted);
    tick_at(2029);
    EXPECT_TRUE(monitor.key_asserted);
    tick_at(2030);
    EXPECT_FALSE(monitor.key_asserted);
    // One mark from 1000 to 2030: continuous, released at once.
    EXPECT_EQ(holds, (std::vector<std::string>{"start", "release:continuous (non-break-in/SSB)"}));
}

TEST_F(TickFixture, ShiftAtTheRisingEdgeLatchesInSystemWideMode)
{
    tick.global_keys = true;
    world.grave = true;
    world.shift = true;
    tick_at(1000);
    EXPECT_TRUE(tick.latched);
    world.grave = false;
    world.shift = false;
    tick_through(1005, 1200);
    EXPECT_TRUE(monitor.key_asserted);
    world.grave = true;  // any next press releases the latch
    tick_at(1205);
    EXPECT_FALSE(tick.latched);
    world.grave = false;
    tick_at(1210);
    EXPECT_FALSE(monitor.key_asserted);
}

// The waveform's latch wire: told of each change with its tick's time, and
// of the latch let go by quitting.
TEST_F(TickFixture, EveryLatchChangeIsToldWithItsTime)
{
    tick.global_keys = true;
    const struct {
        qint64 at;
        bool grave, shift;
    } steps[] = {{1000, true, true}, {1005, false, false}, {1100, true, false}, {1105, false, false},
                 {1200, true, true}, {1205, false, false}};
    for (const auto& s : steps) {
        world.grave = s.grave;
        world.shift = s.shift;
        tick_at(s.at);
    }
    world.now = 1300;
    run_quit_path(tick, 0);
    std::vector<std::pair<bool, qint64>> told;
    for (const BenchEvent& e : log.of(BenchEventKind::Latch))
        told.push_back({e.level, e.t_ns / 1000000});
    const std::vector<std::pair<bool, qint64>> expected = {{true, 1000}, {false, 1100}, {true, 1200}, {false, 1300}};
    EXPECT_EQ(told, expected);
}

TEST_F(TickFixture, LatchRequestWhileTheLevelIsAlreadyHighIsDropped)
{
    tick.global_keys = true;
    world.grave = true;
    tick_at(1000);
    world.shift = true;  // shift after grave went down
    tick_through(1005, 1100);
    EXPECT_FALSE(tick.latched);

    TearDown();
    SetUp();
    world.terminal_bytes = {"`", "", "~"};  // a tilde while grave is held in the terminal
    world.grave = true;
    tick_through(1000, 1100);
    EXPECT_FALSE(tick.latched);
    EXPECT_FALSE(g_stdin_latch);  // consumed with its KEY byte
}

TEST_F(TickFixture, SystemWideModeIgnoresTerminalKeyBytes)
{
    tick.global_keys = true;
    world.terminal_bytes = {"`~"};
    tick_through(1000, 1100);
    EXPECT_FALSE(monitor.key_asserted);
    EXPECT_TRUE(g_stdin_space);  // neither read nor cleared
    EXPECT_TRUE(g_stdin_latch);
}

TEST_F(TickFixture, QuitInTheSameTickAsAPressWritesNoAssert)
{
    world.terminal_bytes = {"`q"};
    tick_at(1000);
    EXPECT_EQ(count_lines("KEY ASSERT"), 0);
    EXPECT_TRUE(holds.empty());
    EXPECT_EQ(ended_with, std::vector<int>{0});
    EXPECT_TRUE(text.endsWith("quit\n"));

    TearDown();
    SetUp();
    tick.global_keys = true;
    world.grave = true;
    world.quit_keys = true;
    tick_at(1000);
    EXPECT_EQ(count_lines("KEY ASSERT"), 0);
    EXPECT_EQ(ended_with, std::vector<int>{0});
}

TEST_F(TickFixture, QuitReleasesAnActiveHoldOnceAndEndsTheRun)
{
    world.terminal_bytes = {"~"};
    tick_at(1000);
    ASSERT_TRUE(tick.latched);
    world.terminal_bytes = {"Q"};
    tick_at(1005);
    EXPECT_FALSE(tick.latched);
    EXPECT_EQ(holds, (std::vector<std::string>{"start", "release:quit"}));
    EXPECT_EQ(text.right(5), "quit\n");
    EXPECT_EQ(count_lines("KEY OPEN"), 0);
    tick_at(1010);  // the loop may tick once more before it ends: nothing happens
    run_quit_path(tick, 143);
    EXPECT_EQ(ended_with, std::vector<int>{0});
    EXPECT_EQ(count_lines("quit\n"), 1);
}

TEST_F(TickFixture, FailedKeyQueryReadsEveryKeyUpAndQuitFallsBackToTheTerminal)
{
    tick.global_keys = true;
    world.grave = world.shift = world.quit_keys = true;
    world.query_fails = true;
    tick_at(1000);
    EXPECT_TRUE(ended_with.empty());
    EXPECT_FALSE(monitor.key_asserted);
    EXPECT_FALSE(tick.latched);
    world.terminal_bytes = {"\x1b"};
    tick_at(1005);
    EXPECT_EQ(ended_with, std::vector<int>{0});

    TearDown();
    SetUp();
    world.terminal_bytes = {"`"};
    world.grave = true;
    world.query_fails = true;
    tick_at(1000);
    tick_at(1024);
    EXPECT_TRUE(monitor.key_asserted);  // the press window still counts
    tick_at(1025);
    EXPECT_FALSE(monitor.key_asserted);
}

TEST_F(TickFixture, OrderOfCallsInOneTick)
{
    world.terminal_bytes = {"`"};
    tick_at(1000);  // inside the press window the device is not asked
    EXPECT_EQ(world.calls, (std::vector<std::string>{"clock", "poll", "poll"}));
    world.calls.clear();
    world.grave = true;
    tick_at(1025);  // past it, the device's level decides
    EXPECT_EQ(world.calls, (std::vector<std::string>{"clock", "poll", "keys", "poll"}));
    EXPECT_TRUE(monitor.key_asserted);

    world.calls.clear();
    tick.global_keys = true;
    world.grave = true;
    world.shift = true;
    tick_at(1005);  // one snapshot answers for grave, shift and the quit keys
    EXPECT_EQ(world.calls, (std::vector<std::string>{"clock", "keys", "poll"}));

    world.calls.clear();
    world.grave = false;
    world.quit_keys = true;
    tick_at(1010);  // quit keys down: the terminal is not read in this tick
    EXPECT_EQ(world.calls, (std::vector<std::string>{"clock", "keys"}));
}

TEST_F(TickFixture, HangExpiresOnTheFirstTickPastTheDeadlineButNotWhenQuitting)
{
    tick.global_keys = true;
    world.grave = true;
    tick_at(1000);
    world.grave = false;
    tick_at(1060);  // 60 ms mark: hang 630, deadline 1690
    EXPECT_EQ(deadline, 1690);
    tick_at(1690);  // stamped with the deadline: may still be short of the full hang
    EXPECT_EQ(holds.size(), 1u);
    tick_at(1691);
    EXPECT_EQ(holds, (std::vector<std::string>{"start", "release:hang done / EOT"}));
    EXPECT_EQ(monitor.keying.key_class, Unknown);

    holds.clear();
    world.grave = true;
    tick_at(3000);
    world.grave = false;
    tick_at(3060);
    world.quit_keys = true;
    tick_at(4000);  // past the deadline, but this tick quits
    EXPECT_EQ(holds, (std::vector<std::string>{"start", "release:quit"}));
}

TEST_F(TickFixture, TimesComeFromTheInjectedClock)
{
    tick.global_keys = true;
    world.grave = true;
    tick_at(50000);
    EXPECT_EQ(monitor.keying.mark_start_ms, 50000);
    world.grave = false;
    tick_at(50100);
    EXPECT_EQ(deadline, 50100 + 1050);  // 100 ms dit: 10.5 dits

    // The program's own clock is monotonic.
    EXPECT_EQ(real_key_sources().now_ms, &monotonic_now_ms);
    const qint64 a = monotonic_now_ms();
    const qint64 b = monotonic_now_ms();
    EXPECT_GE(b, a);
}

// --- the idle tick allocates nothing -------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
#define KEYLINE_COUNTS_ALLOCATIONS 1
// From the sanitizer runtime (its header does not come with every compiler).
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, std::size_t), void (*free_hook)(const volatile void*));
#endif

namespace {

// Every allocation of the process (malloc, Qt's containers, operator new)
// goes through the sanitizer's allocator, which reports each one here.
volatile std::size_t g_allocations = 0;
void count_allocation(const volatile void*, std::size_t) { g_allocations = g_allocations + 1; }
void ignore_free(const volatile void*) {}

qint64 g_quiet_now = 0;
qint64 quiet_now() { return g_quiet_now; }
KeyLevels quiet_keys_up() { return KeyLevels{}; }
void quiet_terminal() {}

// A monitor whose hold does nothing but end the hang, logging into `text`.
struct QuietMonitor {
    QString text;
    QTextStream out{&text};
    TestEvents log;
    qint64 deadline = -1;
    Monitor monitor;
    QuietMonitor()
    {
        monitor.hang_deadline_ms = &deadline;
        monitor.events = log.attach(&out);
        monitor.hold.start_hold = [] {};
        monitor.hold.release_hold = [this](const char*) { deadline = -1; };
    }
};

}  // namespace

TEST(IdleTick, AllocatesNothingInEitherMode)
{
#ifndef KEYLINE_COUNTS_ALLOCATIONS
    GTEST_SKIP() << "allocations are counted through the AddressSanitizer build's hooks";
#else
    QuietMonitor quiet;
    QString& text = quiet.text;
    qint64& deadline = quiet.deadline;
    Monitor& monitor = quiet.monitor;
    PollTick tick;
    tick.monitor = &monitor;
    tick.sources = KeySources{quiet_now, quiet_keys_up, quiet_terminal};
    g_term_raw = true;

    __sanitizer_install_malloc_and_free_hooks(count_allocation, ignore_free);
    std::size_t counted[2] = {0, 0};
    for (int mode = 0; mode < 2; ++mode) {
        tick.global_keys = mode == 1;
        deadline = g_quiet_now + 1000000;  // a hang running, far from its end
        const std::size_t before = g_allocations;
        for (int i = 0; i < 1000; ++i) {
            g_quiet_now += 5;
            key_poll_tick(tick);
        }
        counted[mode] = g_allocations - before;
    }
    __sanitizer_install_malloc_and_free_hooks(nullptr, nullptr);
    g_term_raw = false;

    EXPECT_EQ(counted[0], 0u) << "this-terminal mode";
    EXPECT_EQ(counted[1], 0u) << "system-wide mode";
    EXPECT_TRUE(text.isEmpty());
#endif
}

// --- a keyboard-less source ----------------------------------------------------

#include "morse/key_schedule.h"
#include "input/scheduled_key.h"

namespace {

struct ScheduledFixture : TickFixture {
    KeySchedule schedule;
    ScheduledKey key;
    // The KEY edges the recorder hears.
    std::vector<std::string> edges() const
    {
        std::vector<std::string> seen;
        for (const BenchEvent& e : log.of(BenchEventKind::KeyEdge))
            seen.push_back((e.level ? "down@" : "up@") + std::to_string(e.t_ns / 1000000));
        return seen;
    }

    void play(const char* script)
    {
        QString error;
        ASSERT_TRUE(parse_key_script(script, "s", &schedule, &error)) << error.toStdString();
        start_scheduled_key(key, &schedule, 1, 1000);
        tick.scheduled = &key;
    }
};

}  // namespace

TEST_F(ScheduledFixture, KeysTheMonitorAndQuitsOnceItsHoldIsReleased)
{
    play("down 60\nup 60\ndown 60\nup 20\n");
    world.grave = true;  // the device plays no part
    tick_through(995, 1180);
    EXPECT_EQ(edges(), (std::vector<std::string>{"down@1000", "up@1060", "down@1120", "up@1180"}));
    EXPECT_EQ(count_lines("KEY OPEN   hang=630 ms  class=break-in CW  dit~60 ms  ~20 WPM"), 2);
    // The script is over at 1200, but the hang holds until past 1810.
    tick_through(1185, 1810);
    EXPECT_TRUE(ended_with.empty());
    tick_at(1811);
    EXPECT_EQ(holds, (std::vector<std::string>{"start", "start", "release:hang done / EOT"}));
    EXPECT_EQ(ended_with, std::vector<int>{0});
    EXPECT_TRUE(text.endsWith("quit\n")) << text.toStdString();
    for (const std::string& call : world.calls)
        EXPECT_TRUE(call == "clock" || call == "poll") << call;
}

TEST_F(ScheduledFixture, AnEdgeATickPassesALittleLateKeepsItsOwnTime)
{
    play("down 60\nup 60\ndown 60\nup 20\n");
    for (qint64 now : {998, 1004, 1065, 1130})
        tick_at(now);
    // 4 and 5 ms late: jitter, each edge at its own time, the mark 60 ms
    // long; 10 ms late: a stall, keyed late.
    EXPECT_EQ(edges(), (std::vector<std::string>{"down@1000", "up@1060", "down@1130"}));
    EXPECT_EQ(count_lines("KEY OPEN   hang=630 ms  class=break-in CW  dit~60 ms  ~20 WPM"), 1);
}

TEST_F(ScheduledFixture, AContinuousMarkEndsTheRunWhenItsLastLineHasRun)
{
    play("down 800\nup 100\n");
    tick_through(1000, 1800);
    EXPECT_EQ(holds, (std::vector<std::string>{"start", "release:continuous (non-break-in/SSB)"}));
    EXPECT_TRUE(ended_with.empty());  // the up line still runs
    tick_at(1900);
    EXPECT_EQ(ended_with, std::vector<int>{0});
}

TEST_F(ScheduledFixture, TheTerminalOnlyQuits)
{
    play("down 60\nup 60\n");
    world.terminal_bytes = {"`~", "", "q"};
    tick_at(995);
    EXPECT_EQ(count_lines("KEY ASSERT"), 0);  // a KEY byte keys nothing
    tick_at(1000);
    EXPECT_TRUE(ended_with.empty());
    tick_at(1005);
    EXPECT_EQ(holds, (std::vector<std::string>{"start", "release:quit"}));
    EXPECT_EQ(ended_with, std::vector<int>{0});
}

TEST(IdleTick, AllocatesNothingWithAScheduledSource)
{
#ifndef KEYLINE_COUNTS_ALLOCATIONS
    GTEST_SKIP() << "allocations are counted through the AddressSanitizer build's hooks";
#else
    QuietMonitor quiet;
    QString& text = quiet.text;
    Monitor& monitor = quiet.monitor;
    KeySchedule schedule;
    QString error;
    ASSERT_TRUE(parse_key_script("up 600000\ndown 60\n", "s", &schedule, &error));
    ScheduledKey key;
    start_scheduled_key(key, &schedule, 1, g_quiet_now);
    PollTick tick;
    tick.monitor = &monitor;
    tick.scheduled = &key;
    tick.sources = KeySources{quiet_now, quiet_keys_up, quiet_terminal};
    g_term_raw = true;

    __sanitizer_install_malloc_and_free_hooks(count_allocation, ignore_free);
    const std::size_t before = g_allocations;
    for (int i = 0; i < 1000; ++i) {
        g_quiet_now += 5;
        key_poll_tick(tick);
    }
    const std::size_t counted = g_allocations - before;
    __sanitizer_install_malloc_and_free_hooks(nullptr, nullptr);
    g_term_raw = false;

    EXPECT_EQ(counted, 0u);
    EXPECT_TRUE(text.isEmpty());
#endif
}
