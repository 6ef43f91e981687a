#include "conform/conform_watch.h"

#include "conform/scenarios.h"
#include "conform/verdict_text.h"
#include "rig/hamlib_rig.h"
#include "rig/ptt_poller.h"
#include "watch/watch_judge.h"

struct ConformWatch {
    WatchConfig config;
    bool checks_free_side = true;  // whether the station's being free is observed at all
    PttPoller poller;
    bool polling = false;
    std::vector<WatchSample> samples;  // every reading or matching line, in time order
    qint64 lost_at_ms = -1;
    QString lost_text;
    ObservedLane lane;
};

namespace {

void observe(ConformWatch& watch, qint64 at_ms, bool level)
{
    watch.samples.push_back({at_ms, level});
    if (watch.lane.changes.empty() || watch.lane.changes.back().on != level)
        watch.lane.changes.push_back({at_ms, level});
}

void lose(ConformWatch& watch, qint64 at_ms, const QString& why)
{
    if (watch.lost_at_ms < 0) {
        watch.lost_at_ms = at_ms;
        watch.lost_text = why;
    }
}

// What the station was doing, in the words of a verdict.
QString finding_words(const ScenarioResult& result, const WatchEvent& event, qint64* at_ms)
{
    *at_ms = event.at_ms;
    switch (event.kind) {
    case WatchKind::TxWhileHeld: return QStringLiteral("transmitted");
    case WatchKind::TxBlocked: return QStringLiteral("not transmitting");
    case WatchKind::InhibitLate:
        if (event.offset_ms >= 0) {
            *at_ms = event.change_ms + event.offset_ms;
            return QStringLiteral("said inhibited only");
        }
        return QStringLiteral("not inhibited");
    case WatchKind::InhibitEarly: return QStringLiteral("free");
    case WatchKind::InhibitStuck:
        if (event.offset_ms >= 0) {
            *at_ms = event.change_ms + event.offset_ms;
            return event.again ? QStringLiteral("inhibited again") : QStringLiteral("said free only");
        }
        return QStringLiteral("still inhibited");
    case WatchKind::WatchLost:
    case WatchKind::TxStop: break;
    }
    (void)result;
    return QStringLiteral("watch");
}

Finding finding_of(const ScenarioResult& result, const WatchEvent& event)
{
    Finding finding;
    finding.kind = QLatin1String(watch_kind_name(event.kind));
    finding.at_ms = event.at_ms;
    finding.offset_ms = event.offset_ms;
    finding.lasted_ms = event.lasted_ms;
    qint64 at = event.at_ms;
    const QString what = finding_words(result, event, &at);
    finding.text = finding_text(result, what, at);
    if (event.lasted_ms >= 0 && event.kind != WatchKind::InhibitEarly)
        finding.text += QStringLiteral(", for %1 ms").arg(event.lasted_ms);
    return finding;
}

}  // namespace

ConformWatch* start_conform_watch(const ConformOptions& options, QString* error)
{
    auto* watch = new ConformWatch;
    watch->config.react_ms = options.react_ms;
    watch->lane.grace_ms = options.react_ms;
    if (!options.watch_rig.isEmpty()) {
        watch->config.source = WatchSource::Rig;
        watch->config.expect_tx = options.expect_tx;
        watch->checks_free_side = options.expect_tx;
        watch->lane.name = QStringLiteral("PTT (on: transmitting)");
        watch->lane.on_means_inhibited = false;
        watch->lane.both_ways = options.expect_tx;
        RigAddress address;
        QString why;
        if (!parse_rig_address(options.watch_rig, address, why)) {
            *error = QStringLiteral("--watch-rig: %1").arg(why);
            delete watch;
            return nullptr;
        }
        RigHandle* rig = open_rig(address, why);
        if (!rig) {
            *error = QStringLiteral("--watch-rig %1: %2").arg(options.watch_rig, why);
            delete watch;
            return nullptr;
        }
        if (!start_ptt_poller(watch->poller, rig, options.watch_poll_ms, why)) {
            close_rig(rig);
            *error = QStringLiteral("--watch-rig: %1").arg(why);
            delete watch;
            return nullptr;
        }
        watch->polling = true;
        return watch;
    }
    *error = QStringLiteral("--watch-log is not available in this build");
    delete watch;
    return nullptr;
}

void stop_conform_watch(ConformWatch* watch)
{
    if (!watch)
        return;
    if (watch->polling)
        stop_ptt_poller(watch->poller);
    delete watch;
}

void take_watch_samples(ConformWatch* watch)
{
    if (watch->polling) {
        std::vector<PttReading> readings;
        take_ptt_readings(watch->poller, readings);
        for (const PttReading& reading : readings) {
            if (!reading.ok)
                lose(*watch, reading.at_ms, reading.error);
            else if (watch->lost_at_ms < 0)
                observe(*watch, reading.at_ms, reading.on);
        }
    }
}

const ObservedLane& observed_lane(const ConformWatch* watch)
{
    return watch->lane;
}

void judge_scenario(ConformWatch* watch, ScenarioResult& result)
{
    WatchJudge judge;
    watch_start(judge, watch->config, result.start_ms);
    for (const ModelSpan& span : result.model) {
        watch_model(judge, span.start_ms, true);
        if (span.end_ms >= 0)
            watch_model(judge, span.end_ms, false);
    }
    // What the station was last seen doing before the scenario holds at its start.
    int before = -1;
    for (const WatchSample& sample : watch->samples) {
        if (sample.at_ms >= result.end_ms)
            break;
        if (sample.at_ms < result.start_ms)
            before = sample.level ? 1 : 0;
        else
            watch_observe(judge, sample.at_ms, sample.level);
    }
    if (before >= 0)
        watch_observe(judge, result.start_ms, before == 1);
    const bool lost_before = watch->lost_at_ms >= 0 && watch->lost_at_ms < result.start_ms;
    const bool lost_during = !lost_before && watch->lost_at_ms >= 0 && watch->lost_at_ms < result.end_ms;
    if (lost_during)
        watch_lost(judge, watch->lost_at_ms, watch->lost_text);
    WatchEvents events;
    watch_finish(judge, result.end_ms, events);

    for (const WatchEvent& event : events)
        if (watch_kind_is_problem(event.kind) && event.kind != WatchKind::WatchLost)
            result.findings.push_back(finding_of(result, event));

    // A station still inhibited from the scenario before: whatever it does
    // here is that scenario's failure, not this one's.
    const bool rig = watch->config.source == WatchSource::Rig;
    const bool unsettled = rig ? (watch->config.expect_tx && before == 0) : before == 1;
    QStringList reasons;
    for (const QString& why : watch_not_judged(judge))
        if (why != QLatin1String("the watch was lost"))
            reasons << why;

    if (lost_before) {
        result.outcome = Outcome::NotJudged;
        result.text = QStringLiteral("the watch was lost before it began: %1").arg(watch->lost_text);
    } else if (unsettled) {
        reasons << (rig ? QStringLiteral("the PTT read off as it began: the station was not free yet")
                        : QStringLiteral("the log last said inhibited as it began: the station was not free yet"));
        result.outcome = Outcome::NotJudged;
        result.text = reasons.join(QStringLiteral("; "));
    } else if (!result.findings.empty()) {
        result.outcome = Outcome::Fail;
        result.text = result.findings.front().text;
        if (result.findings.size() > 1)
            result.text += QStringLiteral(" (and %1 more)").arg(result.findings.size() - 1);
    } else if (lost_during) {
        result.outcome = Outcome::NotJudged;
        result.text = QStringLiteral("the watch was lost: %1").arg(watch->lost_text);
    } else if (!watch->checks_free_side && result.scenario->checks_free) {
        result.outcome = Outcome::NotJudged;
        result.text = QStringLiteral("that the station became free is seen only with --expect-tx");
    } else if (!reasons.isEmpty()) {
        result.outcome = Outcome::NotJudged;
        result.text = reasons.join(QStringLiteral("; "));
    } else {
        result.outcome = Outcome::Pass;
        result.text = pass_text(result);
    }
}
