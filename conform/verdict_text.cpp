#include "conform/verdict_text.h"

#include "conform/scenarios.h"

namespace {

QString seconds(qint64 ms)
{
    return QString::number(static_cast<double>(ms) / 1000.0, 'f', 1);
}

}  // namespace

QString finding_text(const ScenarioResult& result, const QString& what, qint64 at_ms)
{
    const Scenario& scenario = *result.scenario;
    // The latest datagram of an agent before at_ms, and its stream's highest seq before it.
    const SentRecord* last = nullptr;
    qint64 highest_before_last = 0;
    qint64 highest[SOURCE_COUNT] = {};
    for (const SentRecord& sent : result.sent) {
        if (sent.at_ms > at_ms)
            break;
        const ScheduledSend& send = scenario.sends[sent.send_index];
        if (send.source == Source::Flood)
            continue;
        const int source = static_cast<int>(send.source);
        if (send.rebind)
            highest[source] = 0;  // a new run counts afresh
        last = &sent;
        highest_before_last = highest[source];
        if (sent.sent > 0)
            highest[source] = qMax(highest[source], send.seq);
    }
    // An expiry of the model after that datagram is what the station acted on.
    qint64 expiry = -1;
    for (const ModelSpan& span : result.model)
        if (span.end_ms >= 0 && span.end_ms <= at_ms && (!last || span.end_ms > last->at_ms + 1))
            expiry = qMax(expiry, span.end_ms);
    if (expiry >= 0)
        return QStringLiteral("%1 %2 ms after the expiry").arg(what).arg(at_ms - expiry);
    if (!last)
        return QStringLiteral("%1 %2 ms into the scenario").arg(what).arg(at_ms - result.start_ms);
    const ScheduledSend& send = scenario.sends[last->send_index];
    QString text = QStringLiteral("%1 %2 ms after %3 %4")
                       .arg(what)
                       .arg(at_ms - last->at_ms)
                       .arg(send.label.startsWith(QLatin1Char('H')) || send.label.startsWith(QLatin1Char('K')) ||
                                    send.label.startsWith(QLatin1Char('R'))
                                ? QStringLiteral("the")
                                : QStringLiteral("a"),
                            send.label);
    if (send.seq > 0 && highest_before_last >= send.seq)
        text += QStringLiteral(" (seq %1, highest %2)").arg(send.seq).arg(highest_before_last);
    else if (send.seq > 0)
        text += QStringLiteral(" (seq %1)").arg(send.seq);
    return text;
}

qint64 model_inhibited_ms(const ScenarioResult& result)
{
    qint64 total = 0;
    for (const ModelSpan& span : result.model)
        total += (span.end_ms < 0 ? result.end_ms : span.end_ms) - span.start_ms;
    return total;
}

QString pass_text(const ScenarioResult& result)
{
    const qint64 inhibited = model_inhibited_ms(result);
    if (inhibited == 0)
        return QStringLiteral("%1 (%2 s)").arg(result.scenario->pass, seconds(result.end_ms - result.start_ms));
    return QStringLiteral("%1 (inhibited %2 s)").arg(result.scenario->pass, seconds(inhibited));
}
