#include "report/event_format.h"

#include <QStringList>

#include <algorithm>
#include <vector>

#include "common/json_line.h"
#include "common/line_queue.h"
#include "common/log_line.h"
#include "station/reception.h"
#include "station/stream_table.h"
#include "station/watch_totals.h"
#include "watch/watch_judge.h"

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
           kind != EventKind::Suppressed && kind != EventKind::ForwardFailed && kind != EventKind::Untracked &&
           kind != EventKind::Watch &&
           kind != EventKind::WatchSeen && kind != EventKind::WatchModel;
}

const char* const WATCH_LABELS[WATCH_KINDS] = {"TX WHILE HELD", "TX BLOCKED", "INHIBIT LATE", "INHIBIT EARLY",
                                               "INHIBIT STUCK", "WATCH LOST", "TX STOP"};

QString side_text(int side)
{
    return side == 0 ? QStringLiteral("rig") : QStringLiteral("log");
}

QString lasted_text(const StationEvent& e)
{
    return e.lasted_ms < 0 ? QStringLiteral("  lasted to the end of the run") : num("lasted_ms", e.lasted_ms);
}

QString watch_text(const StationEvent& e)
{
    const WatchKind kind = static_cast<WatchKind>(e.watch_kind);
    const char* name = WATCH_LABELS[e.watch_kind];
    const QString head = label(name) + (qstrlen(name) >= 11 ? QStringLiteral("  ") : QString()) + side_text(e.watch_side);
    switch (kind) {
    case WatchKind::TxWhileHeld:
        return head + num("offset_ms", e.offset_ms) + lasted_text(e) +
               QStringLiteral("  (the PTT read on %1 ms after the inhibit began)").arg(e.offset_ms);
    case WatchKind::TxBlocked:
        return head + num("offset_ms", e.offset_ms) + lasted_text(e) +
               QStringLiteral("  (the PTT still read off %1 ms after the inhibit ended)").arg(e.offset_ms);
    case WatchKind::InhibitLate:
        return head + num("offset_ms", e.offset_ms) +
               (e.offset_ms < 0 ? QStringLiteral("  (the station did not say inhibited while the inhibit lasted)")
                                : QStringLiteral("  (the station said inhibited %1 ms after the inhibit began)")
                                      .arg(e.offset_ms));
    case WatchKind::InhibitEarly:
        return head + num("offset_ms", e.offset_ms) +
               QStringLiteral("  (the station said free %1 ms into the inhibit)").arg(e.offset_ms);
    case WatchKind::InhibitStuck:
        if (e.again)
            return head + num("offset_ms", e.offset_ms) + lasted_text(e) +
                   QStringLiteral("  (the station said inhibited again %1 ms after the inhibit ended)")
                       .arg(e.offset_ms);
        return head + num("offset_ms", e.offset_ms) +
               (e.offset_ms < 0 ? QStringLiteral("  (the station still said inhibited when the next inhibit "
                                                 "began or the run ended)")
                                : QStringLiteral("  (the station said free only %1 ms after the inhibit ended)")
                                      .arg(e.offset_ms));
    case WatchKind::WatchLost:
        return head + QStringLiteral("  ") + e.text + QStringLiteral("  (nothing after this is judged)");
    case WatchKind::TxStop:
        return head + num("tx_stop_ms", e.offset_ms) +
               QStringLiteral("  (the PTT was on when the inhibit began)");
    }
    return head;
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
               (e.text.isEmpty() ? QString() : QStringLiteral("  forwarding to ") + e.text) +
               (e.watch.isEmpty() ? QString() : QStringLiteral("  watching ") + e.watch);
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
    case EventKind::Watch:
        return watch_text(e);
    case EventKind::WatchSeen:
        return label("SEEN") + side_text(e.watch_side) + QStringLiteral("  ") +
               (e.watch_side == 0 ? (e.level ? QStringLiteral("PTT on") : QStringLiteral("PTT off"))
                                  : (e.level ? QStringLiteral("inhibited") : QStringLiteral("free")));
    case EventKind::WatchModel:
        return label("MODEL") + (e.level ? QStringLiteral("inhibited (a stream holds)")
                                         : QStringLiteral("free (no stream holds)"));
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
    j.text("event", QString::fromLatin1(e.kind == EventKind::Watch ? watch_kind_name(WatchKind(e.watch_kind))
                                                                   : event_name(e.kind)));
    j.text("time", stamp);
    if (e.kind == EventKind::Listening) {
        j.text("address", e.address);
        j.number("port", e.port);
        if (!e.text.isEmpty())
            j.text("forward", e.text);
        if (!e.watch.isEmpty())
            j.text("watch", e.watch);
        return j.done();
    }
    if (e.kind == EventKind::Watch || e.kind == EventKind::WatchSeen) {
        j.text("watched", side_text(e.watch_side));
        if (e.kind == EventKind::WatchSeen) {
            j.flag(e.watch_side == 0 ? "ptt" : "inhibited", e.level);
            return j.done();
        }
        const WatchKind kind = static_cast<WatchKind>(e.watch_kind);
        if (kind == WatchKind::WatchLost) {
            j.text("reason", e.text);
            return j.done();
        }
        if (kind == WatchKind::TxStop) {
            j.number("tx_stop_ms", e.offset_ms);
            return j.done();
        }
        j.number("offset_ms", e.offset_ms);  // -1: never
        if (kind != WatchKind::InhibitLate && kind != WatchKind::InhibitEarly)
            j.number("lasted_ms", e.lasted_ms);  // -1: to the end of the run
        if (kind == WatchKind::InhibitStuck)
            j.flag("again", e.again);
        return j.done();
    }
    if (e.kind == EventKind::WatchModel) {
        j.flag("inhibited", e.level);
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

QStringList summary_text(const StreamTable& table, const WatchTotals* watch)
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
    const bool watched = watch && watch->watching;
    if (watched) {
        QString line = label("WATCH") + watch->what + num("watch_problems", watch->problems);
        for (int k = 0; k < WATCH_KINDS; ++k)
            if (watch_kind_is_problem(WatchKind(k)))
                line += num(watch_kind_name(WatchKind(k)), watch->counts[k]);
        if (watch->max_tx_stop_ms >= 0)
            line += num("max_tx_stop_ms", watch->max_tx_stop_ms);
        lines << line;
        if (!watch->not_judged.isEmpty())
            lines << QStringLiteral("  watch: not judged (%1)%2")
                         .arg(watch->not_judged.join(QStringLiteral("; ")),
                              watch->expect_watch ? QStringLiteral("  (a problem: --expect-watch)") : QString());
    }
    QString summary = label("SUMMARY") +
                      QStringLiteral("problems=%1").arg(table_problems(table) + (watched ? watch->problems : 0)) +
                      num("holds", table.holds) + num("lapses", table.lapses) +
                      num("seq_problems", table.seq_problems) + num("malformed", table.malformed) +
                      num("streams", static_cast<qint64>(table.streams.size())) +
                      num("evicted", table.evicted);
    if (table.forward_errors >= 0)
        summary += num("forward_errors", table.forward_errors);
    if (table.untracked > 0)
        summary += num("untracked", table.untracked);
    if (table.kernel_drops > 0)
        summary += num("kernel_drops", table.kernel_drops);
    if (table.unchecked > 0)
        summary += num("unchecked", table.unchecked);
    if (table.restarts > 0)
        summary += num("restarts", table.restarts);
    if (table.expect_holds > 0)
        summary += num("expect_holds", table.expect_holds) + num("holds_ended", table.holds_ended);
    if (watched)
        summary += num("watch_problems", watch->problems);
    lines << summary;
    return lines;
}

QString summary_json(const StreamTable& table, const QString& stamp, const WatchTotals* watch)
{
    const bool watched = watch && watch->watching;
    JsonLine j;
    j.text("event", QStringLiteral("summary"));
    j.text("time", stamp);
    j.number("problems", table_problems(table) + (watched ? watch->problems : 0));
    if (watched) {
        j.text("watch", watch->what);
        j.number("watch_problems", watch->problems);
        for (int k = 0; k < WATCH_KINDS; ++k)
            if (watch_kind_is_problem(WatchKind(k)))
                j.number(watch_kind_name(WatchKind(k)), watch->counts[k]);
        if (watch->max_tx_stop_ms >= 0)
            j.number("max_tx_stop_ms", watch->max_tx_stop_ms);
        j.key("watch_not_judged");
        j.out += QLatin1Char('[');
        for (int i = 0; i < watch->not_judged.size(); ++i) {
            // A bare string: the object's "text" form, without its key.
            JsonLine item;
            item.text("r", watch->not_judged[i]);
            if (i > 0)
                j.out += QLatin1Char(',');
            j.out += item.out.mid(5);
        }
        j.out += QLatin1Char(']');
    }
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
    j.number("kernel_drops", table.kernel_drops);
    if (table.unchecked > 0)
        j.number("unchecked", table.unchecked);
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
