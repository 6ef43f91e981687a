#include "station/event_format.h"

#include <QStringList>

#include <algorithm>
#include <vector>

#include "common/json_line.h"
#include "common/line_queue.h"
#include "common/log_line.h"
#include "station/reception.h"
#include "station/stream_table.h"

namespace {

QString label(const char* text)
{
    return QStringLiteral("  %1").arg(QLatin1String(text), -11);
}

QString num(const char* key, qint64 value)
{
    return QStringLiteral("  %1=%2").arg(QLatin1String(key)).arg(value);
}

QString names(const StationEvent& e)
{
    return QStringLiteral("  station=%1  band=%2").arg(e.station, e.band);
}

bool names_the_stream(EventKind kind)
{
    return kind != EventKind::Listening && kind != EventKind::Malformed &&
           kind != EventKind::Suppressed && kind != EventKind::ForwardFailed && kind != EventKind::Untracked;
}

std::vector<const Stream*> streams_in_order(const StreamTable& table)
{
    std::vector<const Stream*> list;
    list.reserve(table.streams.size());
    for (const auto& entry : table.streams)
        list.push_back(&entry.second);
    std::sort(list.begin(), list.end(),
              [](const Stream* a, const Stream* b) { return a->first_order < b->first_order; });
    return list;
}

}  // namespace

QString event_text(const StationEvent& e)
{
    switch (e.kind) {
    case EventKind::Listening:
        return label("LISTENING") +
               (e.address.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2"))
                   .arg(e.address)
                   .arg(e.port) +
               QStringLiteral("  (udp)") +
               (e.text.isEmpty() ? QString() : QStringLiteral("  forwarding to ") + e.text);
    case EventKind::Hold:
        return label("HOLD") + e.from + names(e) + num("seq", e.seq) + num("ttl_ms", e.ttl_ms);
    case EventKind::Resume:
        return label("RESUME") + e.from + names(e) + num("seq", e.seq) + num("ttl_ms", e.ttl_ms) +
               (e.outage_ms >= 0 ? num("outage_ms", e.outage_ms) : QString()) +
               QStringLiteral("  (held again after a lapse)");
    case EventKind::Restart:
        return label("RESTART") + e.from + names(e) + num("seq", e.seq) + num("ttl_ms", e.ttl_ms) +
               num("highest", e.highest_seq) +
               (e.ended_hold ? num("hold_ms", e.hold_ms) +
                                   QStringLiteral("  (a new run from the same port; the hold of the "
                                                  "run before ended by restart, not a lapse)")
                             : QStringLiteral("  (a new run from the same port)"));
    case EventKind::Keepalive:
        return label("KEEPALIVE") + e.from + num("seq", e.seq) + num("ttl_ms", e.ttl_ms) +
               num("interval_ms", e.interval_ms);
    case EventKind::Release:
        return label("RELEASE") + e.from + num("seq", e.seq) + num("hold_ms", e.hold_ms) +
               num("keepalives", e.keepalives) + num("max_silence_ms", e.max_silence_ms) +
               num("margin_ms", e.margin_ms);
    case EventKind::Lapse:
        return label("LAPSE") + e.from + names(e) + num("seq", e.seq) +
               num("silence_ms", e.silence_ms) + num("ttl_ms", e.ttl_ms) +
               QStringLiteral("  (the station would let the transmitter go here)");
    case EventKind::SeqGap:
        return label("SEQ GAP") + e.from + num("seq", e.seq) + num("missing", e.missing);
    case EventKind::SeqDuplicate:
        return label("SEQ DUP") + e.from + num("seq", e.seq) + QStringLiteral("  (ignored)");
    case EventKind::SeqBackwards:
        return label("SEQ BACK") + e.from + num("seq", e.seq) + num("highest", e.highest_seq) +
               QStringLiteral("  (ignored)");
    case EventKind::Malformed:
        return label("MALFORMED") + e.from + QStringLiteral("  %1  (%2 bytes: \"%3\"%4)")
                                                 .arg(e.text)
                                                 .arg(e.size)
                                                 .arg(e.excerpt)
                                                 .arg(e.size > MALFORMED_EXCERPT_BYTES ? QStringLiteral("...")
                                                                                       : QString());
    case EventKind::Suppressed:
        if (e.senders > 1 || e.from.isEmpty())
            return label("SUPPRESSED") +
                   QStringLiteral("%1 more malformed datagrams from %2 senders not shown")
                       .arg(e.count)
                       .arg(e.senders);
        return label("SUPPRESSED") + e.from +
               QStringLiteral("  %1 more malformed datagrams not shown").arg(e.count);
    case EventKind::Evicted:
        return label("EVICTED") + e.from + names(e) +
               QStringLiteral("  (least recently heard of %1 streams%2)")
                   .arg(MAX_STREAMS)
                   .arg(e.text.isEmpty() ? QString() : QStringLiteral(", was ") + e.text);
    case EventKind::Note:
        return label("NOTE") + e.from + names(e) + QStringLiteral("  ") + e.text;
    case EventKind::Untracked:
        return label("UNTRACKED") + e.from + num("seq", e.seq) + num("ttl_ms", e.ttl_ms) +
               QStringLiteral("  (all %1 streams hold; this sender is not followed, a problem; "
                              "%2 such datagrams so far, said at most once a second)")
                   .arg(MAX_STREAMS)
                   .arg(e.count);
    case EventKind::ForwardFailed:
        return label("FORWARD") + e.from + QStringLiteral("  -> ") + e.address + QStringLiteral("  failed: ") +
               e.text + QStringLiteral("  (reported at most once a second)");
    }
    return QString();
}

QString event_json(const StationEvent& e, const QString& stamp)
{
    JsonLine j;
    j.text("event", QString::fromLatin1(event_name(e.kind)));
    j.text("time", stamp);
    if (e.kind == EventKind::Listening) {
        j.text("address", e.address);
        j.number("port", e.port);
        if (!e.text.isEmpty())
            j.text("forward", e.text);
        return j.done();
    }
    if (!e.from.isEmpty())  // a note about the output itself has no sender
        j.text("from", e.from);
    if (names_the_stream(e.kind)) {
        j.text("station", e.station);
        j.text("band", e.band);
    }
    j.number_if("seq", e.seq);
    j.number_if("ttl_ms", e.ttl_ms);
    j.number_if("interval_ms", e.interval_ms);
    j.number_if("hold_ms", e.hold_ms);
    j.number_if("keepalives", e.keepalives);
    j.number_if("max_silence_ms", e.max_silence_ms);
    if (e.kind == EventKind::Release)
        j.number("margin_ms", e.margin_ms);  // may be negative
    j.number_if("silence_ms", e.silence_ms);
    j.number_if("outage_ms", e.outage_ms);
    j.number_if("missing", e.missing);
    j.number_if("highest_seq", e.highest_seq);
    j.number_if("count", e.count);
    j.number_if("senders", e.senders);
    if (e.kind == EventKind::Malformed) {
        j.text("reason", e.text);
        j.number("size", e.size);
        j.text("excerpt", e.excerpt);
    } else if (e.kind == EventKind::Note) {
        j.text("note", e.text);
    } else if (e.kind == EventKind::ForwardFailed) {
        j.text("to", e.address);
        j.text("reason", e.text);
    } else if (e.kind == EventKind::Evicted) {
        j.flag("holding", !e.text.isEmpty());
    } else if (e.kind == EventKind::Restart) {
        j.flag("ended_hold", e.ended_hold);
    }
    return j.done();
}

QStringList summary_text(const StreamTable& table)
{
    QStringList lines;
    for (const Stream* s : streams_in_order(table)) {
        QString line = label("STREAM") + s->from +
                       QStringLiteral("  station=%1  band=%2").arg(s->station, s->band) +
                       num("holds", s->holds) + num("lapses", s->lapses) +
                       num("seq_problems", s->seq_problems);
        line += s->holding ? QStringLiteral("  holding (for %1 ms, not a problem)")
                                 .arg(s->last_arrival_ms - s->hold_start_ms)
                           : QStringLiteral("  idle");
        lines << line;
    }
    if (too_few_holds(table))
        lines << label("EXPECTED") +
                     QStringLiteral("holds=%1  ended=%2  (too few holds ended: a problem)")
                         .arg(table.expect_holds)
                         .arg(table.holds_ended);
    QString summary = label("SUMMARY") + QStringLiteral("problems=%1").arg(table_problems(table)) +
                      num("holds", table.holds) + num("lapses", table.lapses) +
                      num("seq_problems", table.seq_problems) + num("malformed", table.malformed) +
                      num("streams", static_cast<qint64>(table.streams.size())) +
                      num("evicted", table.evicted);
    if (table.forward_errors >= 0)
        summary += num("forward_errors", table.forward_errors);
    if (table.untracked > 0)
        summary += num("untracked", table.untracked);
    if (table.restarts > 0)
        summary += num("restarts", table.restarts);
    if (table.expect_holds > 0)
        summary += num("expect_holds", table.expect_holds) + num("holds_ended", table.holds_ended);
    lines << summary;
    return lines;
}

QString summary_json(const StreamTable& table, const QString& stamp)
{
    JsonLine j;
    j.text("event", QStringLiteral("summary"));
    j.text("time", stamp);
    j.number("problems", table_problems(table));
    j.number("holds", table.holds);
    j.number("lapses", table.lapses);
    j.number("seq_problems", table.seq_problems);
    j.number("malformed", table.malformed);
    j.number("evicted", table.evicted);
    j.number("untracked", table.untracked);
    j.number("restarts", table.restarts);
    j.number("holds_ended", table.holds_ended);
    if (table.expect_holds > 0)
        j.number("expect_holds", table.expect_holds);
    if (table.forward_errors >= 0)
        j.number("forward_errors", table.forward_errors);
    j.key("streams");
    j.out += QLatin1Char('[');
    bool first = true;
    for (const Stream* s : streams_in_order(table)) {
        JsonLine item;
        item.text("from", s->from);
        item.text("station", s->station);
        item.text("band", s->band);
        item.number("holds", s->holds);
        item.number("lapses", s->lapses);
        item.number("seq_problems", s->seq_problems);
        item.flag("holding", s->holding);
        if (!first)
            j.out += QLatin1Char(',');
        j.out += item.done();
        first = false;
    }
    j.out += QLatin1Char(']');
    return j.done();
}

QByteArray dropped_lines_json(qint64 count)
{
    StationEvent note;
    note.kind = EventKind::Note;
    const QString plain = QString::fromUtf8(dropped_lines_note(count)).trimmed();
    note.text = plain.mid(1, plain.size() - 2);  // without its parentheses
    return event_json(note, log_stamp_now()).toUtf8() + '\n';
}
