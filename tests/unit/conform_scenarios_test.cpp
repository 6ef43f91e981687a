// The conformance scenarios as planned: what a correct station must hold for
// each (keyline-station's own model over the schedule), the refused payloads
// refused for the right reason, and a whole run within its time budget.

#include <gtest/gtest.h>

#include <QStringList>

#include <functional>
#include <string>
#include <vector>

#include "conform/model.h"
#include "conform/scenario_judgement.h"
#include "conform/scenario_model.h"
#include "conform/scenarios.h"
#include "conform/verdict_text.h"
#include "station/payload_check.h"

namespace {

struct Expected {
    const char* name;
    std::vector<ModelSpan> spans;  // the model's inhibit, ms from the scenario's start
};

const std::vector<Expected> EXPECTED = {
    {"hold-release", {{0, 2000}}},
    {"lost-keepalive", {{0, 2000}}},          // 400 ms of silence is within the ttl
    {"agent-dies", {{0, 1600}}},              // last KEEPALIVE at 1000 + ttl
    {"lost-release", {{0, 2400}}},            // last KEEPALIVE at 1800 + ttl
    {"short-ttl", {{0, 500}}},                // KEEPALIVE at 400 with ttl 100: set, not extended
    {"late-duplicate", {{0, 1200}}},          // the late copy holds nothing
    {"stale-release", {{0, 1400}, {1700, 2700}}},  // a lapse, then hold 2 until its own RELEASE
    {"stale-keepalive", {{0, 1000}}},         // the lower seq after the lapse holds nothing
    {"corrupt", {{0, 600}}},                  // only the HOLD counts
    {"refused-fields", {{0, 400}}},        // the short hold before; the refused ones hold nothing
    {"two-agents", {{0, 2400}}},              // B holds after A releases
    {"restart", {{0, 2200}}},                 // the new run takes over without a gap
    {"malformed-flood", {{0, 2400}}},
};

TEST(ConformScenarios, EachScenarioHoldsWhatACorrectStationHolds)
{
    ASSERT_EQ(conform_scenarios().size(), EXPECTED.size());
    for (size_t i = 0; i < EXPECTED.size(); ++i) {
        const Scenario& scenario = conform_scenarios()[i];
        SCOPED_TRACE(EXPECTED[i].name);
        EXPECT_EQ(scenario.name, QLatin1String(EXPECTED[i].name));  // names and order are stable
        const std::vector<ModelSpan> spans = planned_model(scenario);
        ASSERT_EQ(spans.size(), EXPECTED[i].spans.size());
        for (size_t k = 0; k < spans.size(); ++k) {
            EXPECT_EQ(spans[k].start_ms, EXPECTED[i].spans[k].start_ms);
            EXPECT_EQ(spans[k].end_ms, EXPECTED[i].spans[k].end_ms);
        }
        EXPECT_FALSE(scenario.rule.isEmpty());
    }
}

TEST(ConformScenarios, RefusedFieldsAreRefusedEachForItsOwnReason)
{
    const Scenario* scenario = find_scenario(QStringLiteral("refused-fields"));
    ASSERT_NE(scenario, nullptr);
    QStringList reasons;
    for (const ScheduledSend& send : scenario->sends) {
        if (send.seq > 0)
            continue;  // the short hold before them
        const PayloadCheck check = check_payload(send.payload.constData(), send.payload.size());
        EXPECT_FALSE(check.ok) << send.payload.constData();
        reasons << check.reason;
    }
    reasons.removeDuplicates();
    EXPECT_EQ(reasons.size(), 5) << reasons.join(QStringLiteral(" | ")).toStdString();
    EXPECT_EQ(scenario->sends.back().payload.size(), 2049);
    // The same bytes a byte shorter would be a valid hold: the length alone refuses it.
    QByteArray shorter = scenario->sends.back().payload;
    shorter.remove(shorter.indexOf('X'), 1);  // one byte of the station name
    EXPECT_TRUE(check_payload(shorter.constData(), shorter.size()).ok);
}

TEST(ConformScenarios, FloodIsTenThousandRefusedDatagrams)
{
    const Scenario* scenario = find_scenario(QStringLiteral("malformed-flood"));
    ASSERT_NE(scenario, nullptr);
    int flood = 0;
    for (const ScheduledSend& send : scenario->sends)
        if (send.source == Source::Flood) {
            flood += send.copies;
            EXPECT_FALSE(check_payload(send.payload.constData(), send.payload.size()).ok);
        }
    EXPECT_EQ(flood, 10000);
}

TEST(ConformScenarios, WholeRunFitsNinetySecondsAndOnlySelects)
{
    std::vector<const Scenario*> all = select_scenarios({}, nullptr);
    EXPECT_EQ(all.size(), conform_scenarios().size());
    EXPECT_LE(run_length_ms(all, 50), 90000);

    QStringList unknown;
    const std::vector<const Scenario*> two =
        select_scenarios({QStringLiteral("restart"), QStringLiteral("corrupt"), QStringLiteral("nope")}, &unknown);
    ASSERT_EQ(two.size(), 2u);  // in the table's order, not the option's
    EXPECT_EQ(two[0]->name, QStringLiteral("corrupt"));
    EXPECT_EQ(two[1]->name, QStringLiteral("restart"));
    EXPECT_EQ(unknown, QStringList{QStringLiteral("nope")});
    // A slower station gets a longer tail, so its stuck inhibit is still seen.
    const Scenario& first = conform_scenarios().front();
    EXPECT_GT(scenario_length_ms(first, 1000), scenario_length_ms(first, 50) + 1000);
}

// The scenario played exactly on time, from its start at 0.
ScenarioResult played_on_time(const char* name)
{
    ScenarioResult result;
    result.scenario = find_scenario(QLatin1String(name));
    result.start_ms = 0;
    result.end_ms = scenario_length_ms(*result.scenario, 50);
    for (size_t i = 0; i < result.scenario->sends.size(); ++i) {
        SentRecord sent;
        sent.at_ms = result.scenario->sends[i].at_ms;
        sent.send_index = static_cast<int>(i);
        sent.source_port = static_cast<quint16>(40000 + static_cast<int>(result.scenario->sends[i].source));
        sent.sent = result.scenario->sends[i].copies;
        result.sent.push_back(sent);
    }
    result.model = sent_model(*result.scenario, result.sent, result.end_ms);
    return result;
}

TEST(ConformVerdictText, AFindingIsPlacedAfterWhatTheStationActedOn)
{
    struct Row {
        const char* scenario;
        const char* what;
        qint64 at_ms;
        const char* text;
    };
    const std::vector<Row> rows = {
        {"stale-release", "free", 1709, "free 4 ms after a stale RELEASE (seq 6, highest 7)"},
        {"late-duplicate", "inhibited", 1930, "inhibited 30 ms after a late duplicate KEEPALIVE (seq 6, highest 7)"},
        {"lost-release", "still inhibited", 2700, "still inhibited 300 ms after the expiry"},
        {"hold-release", "transmitted", 450, "transmitted 50 ms after the KEEPALIVE (seq 3)"},
        {"restart", "free", 1210, "free 10 ms after the HOLD after restart (seq 1)"},
        {"malformed-flood", "free", 1010, "free 10 ms after the KEEPALIVE (seq 6)"},  // the flood is not what it came after
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.scenario);
        EXPECT_EQ(finding_text(played_on_time(row.scenario), QLatin1String(row.what), row.at_ms).toStdString(),
                  row.text);
    }
    EXPECT_EQ(pass_text(played_on_time("lost-keepalive")).toStdString(), "inhibited throughout (inhibited 2.0 s)");
}

// What a watch saw: a sample every 10 ms from before the scenario to its end
// (a rig), or a sample at each change (a log), the level given by `level`.
template <typename Level>
WatchRecord watched(const ScenarioResult& result, WatchSource source, bool expect_tx, Level level)
{
    WatchRecord record;
    record.config.source = source;
    record.config.react_ms = 50;
    record.config.expect_tx = expect_tx;
    record.free_side_watched = source == WatchSource::Log || expect_tx;
    int last = -1;
    for (qint64 t = result.start_ms - 300; t < result.end_ms; t += 10) {
        const bool on = level(t);
        if (source == WatchSource::Rig || int(on) != last)
            record.samples.push_back({t, on});
        last = on;
    }
    return record;
}

TEST(ConformJudgement, OnlyWhatWasSeenPassesAndAStationStillInhibitedIsNotBlamedHere)
{
    struct Row {
        const char* scenario;
        WatchSource source;
        bool expect_tx;
        std::function<bool(const std::vector<ModelSpan>&, qint64)> level;  // from the model and the time
        Outcome outcome;
        const char* says;
    };
    // A correct station 10 ms behind the model; the rig's level is the PTT (on when free).
    auto correct_log = [](const std::vector<ModelSpan>& m, qint64 t) { return model_holds(m, t - 10); };
    auto correct_rig = [](const std::vector<ModelSpan>& m, qint64 t) { return !model_holds(m, t - 10); };
    const std::vector<Row> rows = {
        {"hold-release", WatchSource::Rig, true, correct_rig, Outcome::Pass, "free within react of the RELEASE"},
        {"hold-release", WatchSource::Log, false, correct_log, Outcome::Pass, "inhibited 2.0 s"},
        // Never on: being free was never seen, whatever else held.
        {"hold-release", WatchSource::Rig, true, [](const std::vector<ModelSpan>&, qint64) { return false; },
         Outcome::NotJudged, "the PTT never read on"},
        // Without --expect-tx a PTT off proves nothing about being free...
        {"hold-release", WatchSource::Rig, false, correct_rig, Outcome::NotJudged, "only with --expect-tx"},
        // ...but a MUST that is only about being inhibited is seen.
        {"lost-keepalive", WatchSource::Rig, false, correct_rig, Outcome::Pass, "inhibited throughout"},
        // Transmitting through the hold fails with or without --expect-tx.
        {"lost-keepalive", WatchSource::Rig, false, [](const std::vector<ModelSpan>&, qint64) { return true; },
         Outcome::Fail, "transmitted"},
        // A stale RELEASE obeyed: the log says free within the hold.
        {"stale-release", WatchSource::Log, false,
         [](const std::vector<ModelSpan>& m, qint64 t) { return model_holds(m, t - 10) && (t < 1720 || t >= 1800); },
         Outcome::Fail, "free 15 ms after a stale RELEASE (seq 6, highest 7)"},
        // The rig's PTT read on from 15 ms after the stale RELEASE: placed where it went on, not at the grace's end.
        {"stale-release", WatchSource::Rig, true,
         [](const std::vector<ModelSpan>& m, qint64 t) { return !model_holds(m, t - 10) || (t >= 1715 && t < 1800); },
         Outcome::Fail, "transmitted 15 ms after a stale RELEASE (seq 6, highest 7), for 80 ms"},
        // Inhibited as the scenario began: the scenario before's failure, not this one's.
        {"hold-release", WatchSource::Log, false,
         [](const std::vector<ModelSpan>& m, qint64 t) { return t < 0 || model_holds(m, t - 10) || t > 2100; },
         Outcome::NotJudged, "the station was not free yet"},
    };
    for (const Row& row : rows) {
        ScenarioResult result = played_on_time(row.scenario);
        SCOPED_TRACE(std::string(row.scenario) + " " + (row.source == WatchSource::Rig ? "rig" : "log"));
        const std::vector<ModelSpan> model = result.model;
        judge_window(watched(result, row.source, row.expect_tx, [&](qint64 t) { return row.level(model, t); }),
                     result);
        EXPECT_EQ(result.outcome, row.outcome) << result.text.toStdString();
        EXPECT_TRUE(result.text.contains(QLatin1String(row.says))) << result.text.toStdString();
        if (row.outcome == Outcome::Pass) {
            EXPECT_TRUE(result.findings.empty());
        }
    }
}

TEST(ConformJudgement, ALostWatchIsNeverAPass)
{
    ScenarioResult result = played_on_time("hold-release");
    WatchRecord record = watched(result, WatchSource::Rig, true,
                                 [&](qint64 t) { return !model_holds(result.model, t - 10); });
    record.lost_at_ms = 1000;
    record.lost_text = QStringLiteral("rigctld went away");
    std::vector<WatchSample> before;
    for (const WatchSample& sample : record.samples)
        if (sample.at_ms < 1000)
            before.push_back(sample);
    record.samples = before;
    judge_window(record, result);
    EXPECT_EQ(result.outcome, Outcome::NotJudged);
    EXPECT_TRUE(result.text.contains(QLatin1String("rigctld went away"))) << result.text.toStdString();

    ScenarioResult later = played_on_time("lost-keepalive");
    later.start_ms += 5000;  // a scenario that began after the loss
    later.end_ms += 5000;
    judge_window(record, later);
    EXPECT_EQ(later.outcome, Outcome::NotJudged);
}

}  // namespace
