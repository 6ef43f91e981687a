#include "conform/scenario_judgement.h"

#include "conform/scenarios.h"
#include "conform/verdict_text.h"

namespace {

// What the station was doing, in the words of a verdict.
QString finding_words(const WatchEvent& event, qint64* at_ms)
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
    return QStringLiteral("watch");
}

// A rig's disagreement is judged from the first reading past the grace; the
// words place it where the run of such readings began (not before the
// model's change), since that is when the station did it.
qint64 onset_of(const WatchRecord& watch, const WatchEvent& event)
{
    if (event.kind != WatchKind::TxWhileHeld && event.kind != WatchKind::TxBlocked)
        return event.at_ms;
    size_t i = 0;
    while (i < watch.samples.size() && watch.samples[i].at_ms < event.at_ms)
        ++i;
    if (i >= watch.samples.size() || watch.samples[i].at_ms != event.at_ms)
        return event.at_ms;
    while (i > 0 && watch.samples[i - 1].level == watch.samples[i].level &&
           watch.samples[i - 1].at_ms >= event.change_ms)
        --i;
    return watch.samples[i].at_ms;
}

Finding finding_of(const WatchRecord& watch, const ScenarioResult& result, const WatchEvent& event)
{
    Finding finding;
    finding.kind = QLatin1String(watch_kind_name(event.kind));
    finding.at_ms = event.at_ms;
    finding.offset_ms = event.offset_ms;
    finding.lasted_ms = event.lasted_ms;
    qint64 at = event.at_ms;
    const QString what = finding_words(event, &at);
    const qint64 onset = onset_of(watch, event);
    finding.text = finding_text(result, what, qMin(at, onset));
    if (event.lasted_ms >= 0 && event.kind != WatchKind::InhibitEarly)
        finding.text += QStringLiteral(", for %1 ms").arg(event.lasted_ms + (event.at_ms - qMin(at, onset)));
    return finding;
}

}  // namespace

void judge_window(const WatchRecord& watch, ScenarioResult& result)
{
    WatchJudge judge;
    // The judge starts a millisecond early: what was seen before the scenario
    // is stated there, before the first datagram, which may leave at start_ms.
    watch_start(judge, watch.config, result.start_ms - 1);
    for (const ModelSpan& span : result.model) {
        watch_model(judge, span.start_ms, true);
        if (span.end_ms >= 0)
            watch_model(judge, span.end_ms, false);
    }
    // What the station was last seen doing before the scenario holds at its
    // start; the samples go in in time order.
    int before = -1;
    size_t first = 0;
    while (first < watch.samples.size() && watch.samples[first].at_ms < result.start_ms)
        before = watch.samples[first++].level ? 1 : 0;
    if (before >= 0)
        watch_observe(judge, result.start_ms - 1, before == 1);
    for (size_t i = first; i < watch.samples.size() && watch.samples[i].at_ms < result.end_ms; ++i)
        watch_observe(judge, watch.samples[i].at_ms, watch.samples[i].level);
    const bool lost_before = watch.lost_at_ms >= 0 && watch.lost_at_ms < result.start_ms;
    const bool lost_during = !lost_before && watch.lost_at_ms >= 0 && watch.lost_at_ms < result.end_ms;
    if (lost_during)
        watch_lost(judge, watch.lost_at_ms, watch.lost_text);
    WatchEvents events;
    watch_finish(judge, result.end_ms, events);

    for (const WatchEvent& event : events)
        if (watch_kind_is_problem(event.kind) && event.kind != WatchKind::WatchLost)
            result.findings.push_back(finding_of(watch, result, event));

    // A station still inhibited from the scenario before: whatever it does
    // here is that scenario's failure, not this one's.
    const bool rig = watch.config.source == WatchSource::Rig;
    const bool unsettled = rig ? (watch.config.expect_tx && before == 0) : before == 1;
    QStringList reasons;
    for (const QString& why : watch_not_judged(judge))
        if (why != QLatin1String("the watch was lost"))
            reasons << why;

    if (lost_before) {
        result.outcome = Outcome::NotJudged;
        result.text = QStringLiteral("the watch was lost before it began: %1").arg(watch.lost_text);
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
        result.text = QStringLiteral("the watch was lost: %1").arg(watch.lost_text);
    } else if (!watch.free_side_watched && result.scenario->checks_free) {
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
