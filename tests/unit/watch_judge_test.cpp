#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "watch/watch_judge.h"

namespace {

// One input at a time: 'H'old begins, 'E'nd of the inhibit, '1'/'0' a reading
// or line (on / inhibited; off / free), 'L'ost.
struct Input {
    char what;
    qint64 at_ms;
};

struct Expected {
    const char* kind;
    qint64 at_ms;
    qint64 offset_ms;
    qint64 lasted_ms;
};

struct Row {
    const char* name;
    WatchSource source;
    bool expect_tx;
    std::vector<Input> inputs;
    qint64 end_ms;
    std::vector<Expected> events;
    std::vector<std::string> not_judged;
};

WatchEvents run(const Row& row, WatchJudge& judge)
{
    WatchConfig config;
    config.source = row.source;
    config.expect_tx = row.expect_tx;
    config.react_ms = 50;
    watch_start(judge, config, 0);
    WatchEvents events;
    for (const Input& in : row.inputs) {
        if (in.what == 'H' || in.what == 'E')
            watch_model(judge, in.at_ms, in.what == 'H');
        else if (in.what == 'L')
            watch_lost(judge, in.at_ms, QStringLiteral("rigctld went away"));
        else
            watch_observe(judge, in.at_ms, in.what == '1');
    }
    watch_finish(judge, row.end_ms, events);
    return events;
}

const WatchSource RIG = WatchSource::Rig;
const WatchSource LOG = WatchSource::Log;

}  // namespace

TEST(WatchJudge, JudgesEachDirectionAndNeverPassesWhatItDidNotSee)
{
    const std::vector<Row> rows = {
        {"rig: off through the hold, in time", RIG, false,
         {{'1', 0}, {'H', 100}, {'1', 110}, {'0', 130}, {'0', 400}, {'E', 500}, {'1', 520}}, 600,
         {{"tx_stop", 130, 30, -1}}, {}},
        {"rig: transmits through a hold", RIG, false,
         {{'0', 0}, {'H', 100}, {'0', 120}, {'1', 200}, {'1', 300}, {'0', 350}, {'1', 400}, {'E', 500}}, 600,
         {{"tx_while_held", 200, 100, 150}}, {}},
        {"rig: on until the run ends", RIG, false, {{'H', 100}, {'1', 200}}, 600,
         {{"tx_while_held", 200, 100, -1}}, {}},
        {"rig: a hold with no reading past the grace is not judged", RIG, false,
         {{'0', 0}, {'H', 100}, {'0', 120}, {'E', 500}}, 600, {}, {"1 inhibit(s) with no PTT reading past the grace"}},
        {"rig: --expect-tx, blocked after the end", RIG, true,
         {{'1', 0}, {'H', 100}, {'0', 110}, {'0', 400}, {'E', 500}, {'0', 560}, {'0', 700}, {'1', 800}, {'H', 900},
          {'0', 905}, {'0', 1000}, {'E', 1100}, {'1', 1120}, {'1', 1180}},
         1200, {{"tx_stop", 110, 10, -1}, {"tx_blocked", 560, 60, 240}, {"tx_stop", 905, 5, -1}}, {}},
        {"rig: --expect-tx, never on, is not judged", RIG, true,
         {{'0', 0}, {'H', 100}, {'0', 200}, {'E', 300}, {'0', 400}}, 500,
         {{"tx_blocked", 400, 100, -1}}, {"the PTT never read on"}},
        {"rig: lost mid-hold", RIG, false, {{'0', 0}, {'H', 100}, {'0', 200}, {'L', 250}, {'1', 260}}, 600,
         {{"watch_lost", 250, -1, -1}}, {"the watch was lost"}},
        {"log: in time both ways", LOG, false,
         {{'0', 0}, {'H', 100}, {'1', 105}, {'E', 500}, {'0', 505}}, 600, {}, {}},
        {"log: 300 ms late", LOG, false,
         {{'0', 0}, {'H', 100}, {'1', 400}, {'E', 500}, {'0', 505}}, 600, {{"inhibit_late", 150, 300, 250}}, {}},
        {"log: never said inhibited", LOG, false, {{'0', 0}, {'H', 100}, {'E', 500}}, 600,
         {{"inhibit_late", 150, -1, 350}}, {"the log never said inhibited"}},
        {"log: a stale release ends it early", LOG, false,
         {{'0', 0}, {'H', 100}, {'1', 102}, {'0', 300}, {'1', 320}, {'0', 330}, {'E', 500}}, 600,
         {{"inhibit_early", 300, 200, -1}}, {}},
        {"log: said free right after saying inhibited: early, not late", LOG, false,
         {{'0', 0}, {'H', 100}, {'1', 102}, {'0', 120}, {'1', 300}, {'E', 500}, {'0', 505}}, 600,
         {{"inhibit_early", 120, 20, -1}}, {}},
        {"log: free just after the last end is not early", LOG, false,
         {{'1', 0}, {'H', 10}, {'E', 100}, {'H', 120}, {'0', 125}, {'1', 130}, {'E', 500}, {'0', 502}}, 600,
         {}, {}},
        {"log: stuck after a lost release", LOG, false,
         {{'0', 0}, {'H', 100}, {'1', 102}, {'E', 500}}, 900, {{"inhibit_stuck", 550, -1, -1}}, {}},
        {"log: stuck, then free at last", LOG, false,
         {{'0', 0}, {'H', 100}, {'1', 102}, {'E', 500}, {'0', 800}}, 900, {{"inhibit_stuck", 550, 300, 250}}, {}},
        {"log: inhibited again by a late copy", LOG, false,
         {{'0', 0}, {'H', 100}, {'1', 102}, {'E', 500}, {'0', 502}, {'1', 700}, {'0', 1000}}, 1100,
         {{"inhibit_stuck", 700, 200, 300}}, {}},
        {"log: the run ends inside the grace after the release", LOG, false,
         {{'0', 0}, {'H', 100}, {'1', 102}, {'E', 500}}, 520, {},
         {"the run ended inside the grace after the last change"}},
        {"no inhibit at all", LOG, false, {{'0', 0}, {'0', 10}}, 100, {}, {"no inhibit in the run", "the log never said inhibited"}},
    };
    for (const Row& row : rows) {
        WatchJudge judge;
        const WatchEvents events = run(row, judge);
        ASSERT_EQ(events.size(), row.events.size()) << row.name;
        for (size_t i = 0; i < events.size(); ++i) {
            EXPECT_STREQ(watch_kind_name(events[i].kind), row.events[i].kind) << row.name;
            EXPECT_EQ(events[i].at_ms, row.events[i].at_ms) << row.name;
            EXPECT_EQ(events[i].offset_ms, row.events[i].offset_ms) << row.name;
            EXPECT_EQ(events[i].lasted_ms, row.events[i].lasted_ms) << row.name;
        }
        QStringList expected;
        for (const std::string& s : row.not_judged)
            expected << QString::fromStdString(s);
        EXPECT_EQ(watch_not_judged(judge), expected) << row.name << ": " << watch_not_judged(judge).join("; ").toStdString();
    }
}

TEST(WatchJudge, WaitsForTheModelBeforeJudgingAReading)
{
    // A reading comes in before the datagram that began the hold was read:
    // nothing is judged past the time the model is known to.
    WatchJudge judge;
    watch_start(judge, WatchConfig(), 0);
    WatchEvents events;
    watch_observe(judge, 200, true);
    watch_advance(judge, 150, events);
    EXPECT_TRUE(events.empty());
    watch_model(judge, 100, true);
    watch_advance(judge, 250, events);
    watch_model(judge, 300, false);
    watch_finish(judge, 400, events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, WatchKind::TxWhileHeld);
    EXPECT_EQ(events[0].lasted_ms, 100);
    EXPECT_EQ(watch_problems(judge), 1);
}
