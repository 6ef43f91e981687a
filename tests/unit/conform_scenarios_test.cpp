// The conformance scenarios as planned: what a correct station must hold for
// each (keyline-station's own model over the schedule), the refused payloads
// refused for the right reason, and a whole run within its time budget.

#include <gtest/gtest.h>

#include <QStringList>

#include <vector>

#include "conform/model.h"
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

}  // namespace
