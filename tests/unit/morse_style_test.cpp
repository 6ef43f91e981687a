// Farnsworth spacing, weight and a human fist over a Morse text's schedule.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include <QString>

#include "morse/key_schedule.h"
#include "morse/morse_style.h"

namespace {

// The length in ms of each mark and gap, in order, and the gap to the next round.
std::vector<qint64> runs_ms(const QString& text, const MorseStyle& style)
{
    KeySchedule s;
    QString reason;
    EXPECT_TRUE(morse_schedule(text, style.wpm, &s, &reason));
    apply_morse_style(s, style);
    std::vector<qint64> out;
    for (size_t i = 1; i < s.edges.size(); ++i)
        out.push_back(schedule_ms(s, s.edges[i].at) - schedule_ms(s, s.edges[i - 1].at));
    EXPECT_EQ(s.edges.back().at, s.end_units);
    out.push_back(schedule_ms(s, s.round_units) - schedule_ms(s, s.end_units));
    return out;
}

// Each edge is rounded to its own ms, so a length may be 1 ms off, never more.
void expect_within_1_ms(const std::vector<qint64>& got, const std::vector<qint64>& want)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_LE(std::abs(got[i] - want[i]), 1) << "run " << i << ": " << got[i] << " ms, not " << want[i];
}

MorseStyle style(int wpm, int farnsworth, int fist = 0, int weight = STANDARD_WEIGHT_PERCENT, quint64 seed = 1)
{
    MorseStyle s;
    s.wpm = wpm;
    s.farnsworth_wpm = farnsworth;
    s.fist_percent = fist;
    s.weight_percent = weight;
    s.seed = seed;
    return s;
}

TEST(MorseStyle, FarnsworthFollowsTheArrlFormula)
{
    EXPECT_DOUBLE_EQ(farnsworth_unit_dits(20, 20), 1.0);
    EXPECT_DOUBLE_EQ(farnsworth_unit_dits(20, 0), 1.0);
    // 18/5: delay (1080 - 186) / 90 = 9.933 s per word, 19 units.
    EXPECT_NEAR(farnsworth_unit_dits(18, 5) * 1200.0 / 18, 9933.33 / 19, 0.01);
    // 20/10: letter gaps 3 units of 217.9 ms, word gaps 7; marks and element gaps as at 20.
    expect_within_1_ms(runs_ms("A B", style(20, 10)), {60, 60, 180, 1525, 180, 60, 60, 60, 60, 60, 60, 1525});
    expect_within_1_ms(runs_ms("AB", style(20, 10)), {60, 60, 180, 654, 180, 60, 60, 60, 60, 60, 60, 1525});
    // The same speed twice changes nothing.
    EXPECT_EQ(runs_ms("PARIS", style(20, 20)), runs_ms("PARIS", style(20, 0)));
}

TEST(MorseStyle, WeightLengthensMarksAndShortensGapsAlike)
{
    // 60 %: a fifth of a dit (12 ms) from every gap onto every mark.
    expect_within_1_ms(runs_ms("AE", style(20, 0, 0, 60)), {72, 48, 192, 168, 72, 408});
}

TEST(MorseStyle, AFistStaysWithinItsBoundsAndRepeatsWithItsSeed)
{
    const std::vector<qint64> exact = runs_ms("CQ CQ DE PARIS PARIS", style(20, 0));
    const std::vector<qint64> fist = runs_ms("CQ CQ DE PARIS PARIS", style(20, 0, 15, 50, 7));
    ASSERT_EQ(fist.size(), exact.size());
    int changed = 0;
    for (size_t i = 0; i < exact.size(); ++i) {
        EXPECT_LE(std::abs(fist[i] - exact[i]), std::lround(exact[i] * 0.15) + 1) << i;
        changed += fist[i] != exact[i];
    }
    EXPECT_GT(changed, int(exact.size()) * 3 / 4);
    EXPECT_EQ(runs_ms("CQ CQ DE PARIS PARIS", style(20, 0, 15, 50, 7)), fist);
    EXPECT_NE(runs_ms("CQ CQ DE PARIS PARIS", style(20, 0, 15, 50, 8)), fist);
}

}  // namespace
