// The KEYing monitor driven with explicit tick times: classes, dit estimate,
// hang, deadlines, and the order of its lines against the hold's lines.

#include "monitor/keying_monitor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include "bench_test_events.h"

#include "common/log_line.h"

namespace {

// Stands in for the real hold: records every call, and like the real one
// writes a line only when it actually opens or closes a hold, and clears the
// deadline on every release.
struct FakeHold {
    QTextStream* out = nullptr;
    qint64 deadline_ms = -1;
    bool active = false;
    std::vector<std::string> events;
};

enum Op { Assert, Open, Expiry };

struct Step {
    Op op;
    qint64 now;
    std::vector<std::string> lines;  // texts after the stamp, in order
    qint64 deadline_after;
    KeyClass class_after;
    double dit_after;
};

class KeyingMonitorTest : public ::testing::Test {
protected:
    void SetUp() override { restart(); }

    // A fresh monitor and hold; earlier output is skipped.
    void restart()
    {
        take_lines();
        m = Monitor{};
        hold = FakeHold{};
        hold.out = &out;
        m.events = log.attach(&out);
        m.hang_deadline_ms = &hold.deadline_ms;
        m.hold.start_hold = [this] {
            hold.events.push_back("start");
            if (hold.active)
                return;
            hold.active = true;
            write_log_line(out, QStringLiteral("  HOLD"));
        };
        m.hold.release_hold = [this](const char* note) {
            hold.events.push_back(std::string("release:") + note);
            hold.deadline_ms = -1;
            if (!hold.active)
                return;
            hold.active = false;
            write_log_line(out, QStringLiteral("  RELEASE ") + QLatin1String(note));
        };
    }

    void set_fixed_hang(qint32 ms)
    {
        m.fixed_hang_set = true;
        m.fixed_hang_ms = ms;
    }

    // Lines written since the last call, with the stamp checked and cut off.
    std::vector<std::string> take_lines()
    {
        static const QRegularExpression stamp(
            QStringLiteral("^([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\\.[0-9]{3}"));
        const QString fresh = buffer.mid(consumed);
        consumed = buffer.size();
        std::vector<std::string> texts;
        if (fresh.isEmpty())
            return texts;
        EXPECT_TRUE(fresh.endsWith(QLatin1Char('\n'))) << fresh.toStdString();
        const QStringList lines = fresh.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString& line : lines) {
            EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
            texts.push_back(line.mid(12).toStdString());
        }
        return texts;
    }

    void run(const std::vector<Step>& steps)
    {
        for (size_t i = 0; i < steps.size(); ++i) {
            const Step& s = steps[i];
            SCOPED_TRACE("step " + std::to_string(i) + " at now=" + std::to_string(s.now));
            switch (s.op) {
            case Assert:
                on_key_assert(m, s.now);
                EXPECT_TRUE(m.key_asserted);
                EXPECT_TRUE(m.keying.in_mark);
                EXPECT_EQ(m.keying.mark_start_ms, s.now);
                EXPECT_EQ(m.keying.last_open_ms, -1);
                break;
            case Open:
                on_key_open(m, s.now);
                EXPECT_FALSE(m.key_asserted);
                EXPECT_FALSE(m.keying.in_mark);
                EXPECT_EQ(m.keying.mark_start_ms, -1);
                break;
            case Expiry:
                check_hang_expiry(m, s.now);
                break;
            }
            EXPECT_EQ(take_lines(), s.lines);
            EXPECT_EQ(hold.deadline_ms, s.deadline_after);
            EXPECT_EQ(m.keying.key_class, s.class_after);
            EXPECT_DOUBLE_EQ(m.keying.dit_ms, s.dit_after);
        }
    }

    void expect_reset_state()
    {
        EXPECT_EQ(m.keying.key_class, Unknown);
        EXPECT_EQ(m.keying.dit_ms, 0.0);
        EXPECT_FALSE(m.keying.in_mark);
        EXPECT_EQ(m.keying.mark_start_ms, -1);
        EXPECT_EQ(m.keying.last_open_ms, -1);
        EXPECT_EQ(hold.deadline_ms, -1);
    }

    QString buffer;
    int consumed = 0;
    QTextStream out{&buffer};
    TestEvents log;
    FakeHold hold;
    Monitor m;
};

const std::string kBreakIn = "break-in CW";
const std::string kContinuous = "continuous (non-break-in/SSB)";

// --- pure helpers --------------------------------------------------------

TEST(KeyingMonitorHelpers, ClassNames)
{
    EXPECT_STREQ(class_name(Unknown), "unknown");
    EXPECT_STREQ(class_name(BreakIn), "break-in CW");
    EXPECT_STREQ(class_name(Continuous), "continuous (non-break-in/SSB)");
}

TEST(KeyingMonitorHelpers, HangForDitBoundsAndHalves)
{
    struct Row { double dit; qint32 hang; };
    const Row rows[] = {
        {20.0, 315},    // 210 raised
        {30.0, 315},    // exactly the lower bound
        {30.1, 316},    // 316.05
        {33.0, 347},    // 346.5, half away from zero
        {119.9, 1259},  // 1258.95
        {120.0, 1260},  // exactly the upper bound
        {121.0, 1260},  // 1270.5 capped
        {1e12, 1260},   // absurd estimate still capped
        {0.0, 315},     // no estimate
        {-4.0, 315},
    };
    for (const Row& r : rows)
        EXPECT_EQ(hang_for_dit(r.dit), r.hang) << "dit " << r.dit;
}

TEST(KeyingMonitorHelpers, ResetPutsEveryFieldBack)
{
    KeyingState k;
    k.key_class = Continuous;
    k.dit_ms = 42.0;
    k.in_mark = true;
    k.mark_start_ms = 7;
    k.last_open_ms = 9;
    reset_keying_state(k);
    EXPECT_EQ(k.key_class, Unknown);
    EXPECT_EQ(k.dit_ms, 0.0);
    EXPECT_FALSE(k.in_mark);
    EXPECT_EQ(k.mark_start_ms, -1);
    EXPECT_EQ(k.last_open_ms, -1);
}

// --- keying sequences ----------------------------------------------------

TEST_F(KeyingMonitorTest, BreakInSequenceWithSixtyMsDits)
{
    const std::string open630 = "  KEY OPEN   hang=630 ms  class=break-in CW  dit~60 ms  ~20 WPM";
    run({
        {Assert, 1000, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0},
        {Open, 1060, {open630}, 1690, BreakIn, 60.0},
        {Expiry, 1060, {}, 1690, BreakIn, 60.0},
        {Expiry, 1115, {}, 1690, BreakIn, 60.0},
        // gap 60 <= 300: the hang is cancelled, the hold goes on with no new HOLD
        {Assert, 1120, {"  KEY ASSERT  class=break-in CW"}, -1, BreakIn, 60.0},
        // a 180 ms dah leaves the estimate alone
        {Open, 1300, {open630}, 1930, BreakIn, 60.0},
        {Expiry, 1355, {}, 1930, BreakIn, 60.0},
        {Assert, 1360, {"  KEY ASSERT  class=break-in CW"}, -1, BreakIn, 60.0},
        // a 50 ms dit: 0.35 x 50 + 0.65 x 60 = 56.5, hang 593.25 -> 593
        {Open, 1410,
         {"  KEY OPEN   hang=593 ms  class=break-in CW  dit~57 ms  ~21 WPM"}, 2003, BreakIn, 56.5},
        {Expiry, 2002, {}, 2003, BreakIn, 56.5},
        // stamped with the deadline itself, the tick may be up to 1 ms short of it
        {Expiry, 2003, {}, 2003, BreakIn, 56.5},
        {Expiry, 2004, {"  RELEASE hang done / EOT"}, -1, Unknown, 0.0},
        {Expiry, 2008, {}, -1, Unknown, 0.0},
        // a fresh sequence: no gap rule, a new HOLD
        {Assert, 2600, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0},
    });
    const std::vector<std::string> events = {"start", "start", "start",
                                             "release:hang done / EOT", "start"};
    EXPECT_EQ(hold.events, events);
}

TEST_F(KeyingMonitorTest, LongFirstMarkIsContinuousAndReleasesAtOnce)
{
    run({
        {Assert, 5000, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0},
        {Open, 5800,
         {"  RELEASE " + kContinuous, "  KEY OPEN   hang=0  (" + kContinuous + ")"}, -1, Unknown,
         0.0},
    });
    expect_reset_state();
    // the reset dropped the last open, so a quick press is not break-in
    run({{Assert, 5900, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0}});
    const std::vector<std::string> events = {"start", "release:" + kContinuous, "start"};
    EXPECT_EQ(hold.events, events);
}

TEST_F(KeyingMonitorTest, FiveHundredMsBoundary)
{
    run({
        {Assert, 10000, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0},
        {Open, 10499, {"  KEY OPEN   hang=1260 ms  class=break-in CW  dit~499 ms  ~2 WPM"}, 11759,
         BreakIn, 499.0},
        {Expiry, 11760, {"  RELEASE hang done / EOT"}, -1, Unknown, 0.0},
        {Assert, 20000, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0},
        {Open, 20500,
         {"  RELEASE " + kContinuous, "  KEY OPEN   hang=0  (" + kContinuous + ")"}, -1, Unknown,
         0.0},
    });
}

TEST_F(KeyingMonitorTest, LongMarkInsideBreakInKeepsTheClass)
{
    run({
        {Assert, 0, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0},
        {Open, 60, {"  KEY OPEN   hang=630 ms  class=break-in CW  dit~60 ms  ~20 WPM"}, 690,
         BreakIn, 60.0},
        {Assert, 120, {"  KEY ASSERT  class=break-in CW"}, -1, BreakIn, 60.0},
        // 800 >= 2 x 60: estimate unchanged, still break-in
        {Open, 920, {"  KEY OPEN   hang=630 ms  class=break-in CW  dit~60 ms  ~20 WPM"}, 1550,
         BreakIn, 60.0},
    });
}

TEST_F(KeyingMonitorTest, LongMarkRefinesASlowEstimate)
{
    run({
        {Assert, 0, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0},
        {Open, 300, {"  KEY OPEN   hang=1260 ms  class=break-in CW  dit~300 ms  ~4 WPM"}, 1560,
         BreakIn, 300.0},
        {Assert, 700, {"  KEY ASSERT  class=break-in CW"}, -1, BreakIn, 300.0},
        // 550 < 600: 0.35 x 550 + 0.65 x 300 = 387.5
        {Open, 1250, {"  KEY OPEN   hang=1260 ms  class=break-in CW  dit~388 ms  ~3 WPM"}, 2510,
         BreakIn, 387.5},
    });
}

// The estimate rules, one mark each from a given class and estimate. A fixed
// hang keeps the state after KEY OPEN, so continuous keying with an estimate
// can be seen too.
TEST_F(KeyingMonitorTest, DitEstimateUpdates)
{
    struct Row { KeyClass before; double dit; qint32 mark; double dit_after; KeyClass after; };
    const Row rows[] = {
        {Unknown, 0.0, 60, 60.0, BreakIn},            // a short first mark seeds
        {Unknown, 0.0, 500, 0.0, Continuous},         // a long one never does
        {BreakIn, 60.0, 50, 56.5, BreakIn},
        {BreakIn, 60.0, 119, 80.65, BreakIn},         // just under two dits
        {BreakIn, 60.0, 120, 60.0, BreakIn},          // a dah leaves it alone
        {BreakIn, 0.0, 600, 0.0, BreakIn},
        {BreakIn, 300.0, 550, 387.5, BreakIn},        // long, but under two slow dits
        {BreakIn, 300.0, 600, 300.0, BreakIn},
        {Continuous, 0.0, 499, 499.0, Continuous},
        {Continuous, 0.0, 500, 0.0, Continuous},
        {Continuous, 300.0, 200, 265.0, Continuous},
        {Continuous, 300.0, 500, 300.0, Continuous},  // long marks refine only break-in
        {Continuous, 300.0, 550, 300.0, Continuous},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(class_name(r.before)) + " dit " + std::to_string(r.dit) +
                     " mark " + std::to_string(r.mark));
        restart();
        set_fixed_hang(1000);
        m.keying.key_class = r.before;
        m.keying.dit_ms = r.dit;
        on_key_assert(m, 5000);
        on_key_open(m, 5000 + r.mark);
        EXPECT_DOUBLE_EQ(m.keying.dit_ms, r.dit_after);
        EXPECT_EQ(m.keying.key_class, r.after);
        EXPECT_EQ(m.keying.last_open_ms, 5000 + r.mark);
        EXPECT_EQ(hold.deadline_ms, 5000 + r.mark + 1000);
    }
}

// The gap rule only shows when the class is not already break-in, which a
// fixed hang above 0 allows: continuous keying survives into its hang.
TEST_F(KeyingMonitorTest, GapLimitBoundaries)
{
    struct Row { bool with_estimate; qint64 gap; KeyClass expected; };
    const Row rows[] = {
        {true, 300, BreakIn},     // 5 x 60
        {true, 301, Continuous},
        {true, 0, Continuous},
        {false, 500, BreakIn},    // no estimate: 500
        {false, 501, Continuous},
        {false, 0, Continuous},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("estimate " + std::to_string(r.with_estimate) + " gap " +
                     std::to_string(r.gap));
        restart();
        set_fixed_hang(1000);

        on_key_assert(m, 0);
        on_key_open(m, 800);  // a long first mark: continuous, no estimate
        ASSERT_EQ(m.keying.key_class, Continuous);
        qint64 last_open = 800;
        if (r.with_estimate) {
            on_key_assert(m, 1400);  // gap 600: stays continuous
            on_key_open(m, 1460);    // a 60 ms mark seeds the estimate
            ASSERT_EQ(m.keying.key_class, Continuous);
            ASSERT_DOUBLE_EQ(m.keying.dit_ms, 60.0);
            last_open = 1460;
        }
        take_lines();
        on_key_assert(m, last_open + r.gap);
        EXPECT_EQ(m.keying.key_class, r.expected);
        EXPECT_EQ(m.keying.last_open_ms, -1);
        EXPECT_EQ(hold.deadline_ms, -1);
        const std::vector<std::string> want = {std::string("  KEY ASSERT  class=") +
                                               class_name(r.expected)};
        EXPECT_EQ(take_lines(), want);
    }
}

TEST_F(KeyingMonitorTest, FixedHangOfZeroOrNegativeReleasesEveryMark)
{
    for (qint32 fixed : {0, -5}) {
        SCOPED_TRACE("fixed hang " + std::to_string(fixed));
        restart();
        set_fixed_hang(fixed);
        const std::vector<std::string> open_lines = {"  RELEASE " + kBreakIn,
                                                     "  KEY OPEN   hang=0  (" + kBreakIn + ")"};
        run({
            {Assert, 0, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0},
            {Open, 60, open_lines, -1, Unknown, 0.0},
            // no estimate and no last open survive: the next quick press is unknown again
            {Assert, 120, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0},
            {Open, 170, open_lines, -1, Unknown, 0.0},
        });
        expect_reset_state();
    }
}

TEST_F(KeyingMonitorTest, FixedHangReplacesTheComputedHang)
{
    set_fixed_hang(1000);
    run({
        {Assert, 0, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0},
        {Open, 800, {"  KEY OPEN   hang=1000 ms  class=" + kContinuous}, 1800, Continuous, 0.0},
        {Expiry, 1095, {}, 1800, Continuous, 0.0},
        // gap 300 <= 500 turns continuous keying into break-in
        {Assert, 1100, {"  KEY ASSERT  class=break-in CW"}, -1, BreakIn, 0.0},
        {Open, 1160, {"  KEY OPEN   hang=1000 ms  class=break-in CW  dit~60 ms  ~20 WPM"}, 2160,
         BreakIn, 60.0},
        {Expiry, 2161, {"  RELEASE hang done / EOT"}, -1, Unknown, 0.0},
    });
}

// A mark whose end is not after its start is not measured.
TEST_F(KeyingMonitorTest, UnmeasuredMarkStaysUnknown)
{
    for (qint64 length : {0, -10}) {
        SCOPED_TRACE("mark length " + std::to_string(length));
        restart();
        run({
            {Assert, 1000, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0},
            {Open, 1000 + length, {"  RELEASE unknown", "  KEY OPEN   hang=0  (unknown)"}, -1,
             Unknown, 0.0},
        });
        expect_reset_state();
    }
}

TEST_F(KeyingMonitorTest, UnmeasuredMarkWithFixedHangKeepsTheHoldWithoutDit)
{
    set_fixed_hang(400);
    run({
        {Assert, 1000, {"  HOLD", "  KEY ASSERT  class=unknown"}, -1, Unknown, 0.0},
        {Open, 1000, {"  KEY OPEN   hang=400 ms  class=unknown"}, 1400, Unknown, 0.0},
        {Expiry, 1401, {"  RELEASE hang done / EOT"}, -1, Unknown, 0.0},
    });
}

}  // namespace
