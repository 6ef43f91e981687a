#include "report/run_record.h"

#include <QDateTime>

#include "common/log_line.h"
#include "report/event_format.h"
#include "station/stream_table.h"
#include "watch/watch_judge.h"

namespace {

void merge_into(Mark& into, const Mark& mark)
{
    into.end_ms = qMax(into.end_ms, mark.end_ms);
    into.count += mark.count;
    if (mark.value > into.value) {
        into.value = mark.value;
        into.detail = mark.detail;
    }
}

StreamRecord& lane_for(RunRecord& run, const QString& from)
{
    const auto found = run.lane_of.constFind(from);
    if (found != run.lane_of.constEnd())
        return run.streams[found.value()];
    if (static_cast<int>(run.streams.size()) >= MAX_LANES)
        return run.streams.back();  // the shared last lane
    run.streams.emplace_back();
    StreamRecord& lane = run.streams.back();
    if (static_cast<int>(run.streams.size()) < MAX_LANES) {
        lane.from = from;
        run.lane_of.insert(from, static_cast<int>(run.streams.size()) - 1);
    }
    return lane;
}

bool shared(const StreamRecord& lane)
{
    return lane.from.isEmpty();
}

void tick(StreamRecord& lane, qint64 at_ms)
{
    Mark mark;
    mark.start_ms = mark.end_ms = at_ms;
    add_mark(lane.arrivals, mark);
}

void add_detail(QStringList& details, qint64 count, const QString& text)
{
    if (count <= MAX_DETAILS)
        details << text;
}

void close_hold(StreamRecord& lane, qint64 end_ms, HoldEnd end)
{
    HoldCase& h = lane.current;
    h.end_ms = end_ms;
    h.end = end;
    if (!shared(lane)) {
        Mark bar;
        bar.start_ms = h.start_ms;
        bar.end_ms = end_ms;
        add_mark(lane.hold_bars, bar);
    }
    if (h.listed) {
        lane.holds.push_back(h);
    } else if (end == HoldEnd::Lapsed) {
        ++lane.unlisted_lapses;
        lane.unlisted_max_silence_ms = qMax(lane.unlisted_max_silence_ms, h.silence_ms);
    }
    lane.holding = false;
}

void start_hold(RunRecord& run, StreamRecord& lane, const StationEvent& e)
{
    HoldCase h;
    h.number = ++lane.hold_count;
    h.start_ms = e.at_ms;
    h.ttl_ms = h.last_ttl_ms = h.margin_ms = e.ttl_ms;
    // A shared lane mixes senders, so its holds cannot be told apart.
    h.listed = !shared(lane) && run.listed_holds < MAX_HOLD_CASES;
    if (h.listed)
        ++run.listed_holds;
    else
        ++lane.unlisted_holds;
    lane.current = h;
    lane.holding = true;
}

QString detail_text(const RunRecord& run, const StationEvent& e, qint64 count = -1)
{
    QString text = wall_stamp(run, e.at_ms) + QLatin1Char(' ') + QLatin1String(event_name(e.kind));
    if (e.seq >= 0)
        text += QStringLiteral(" seq=%1").arg(e.seq);
    if (e.missing >= 0)
        text += QStringLiteral(" missing=%1").arg(e.missing);
    if (e.highest_seq >= 0)
        text += QStringLiteral(" highest=%1").arg(e.highest_seq);
    if (e.kind == EventKind::Malformed)
        text += QStringLiteral(" %1 (%2 bytes: \"%3\")").arg(e.text).arg(e.size).arg(e.excerpt);
    if (e.kind == EventKind::Suppressed)
        text += QStringLiteral(" %1 more not shown").arg(count);
    return text;
}

// A problem of the watched station goes to the hold it is about: the one
// that began at (or held over) the model's change it names.
void attach_watch_problem(RunRecord& run, const StationEvent& e)
{
    const QString text = wall_stamp(run, e.at_ms) + event_text(e);
    const qint64 t = e.change_ms;
    for (StreamRecord& lane : run.streams) {
        if (shared(lane) || t < 0)
            continue;
        if (lane.holding && lane.current.listed && lane.current.start_ms <= t) {
            lane.current.watch_failures << text;
            return;
        }
        for (auto h = lane.holds.rbegin(); h != lane.holds.rend(); ++h) {
            if (h->start_ms <= t && t <= h->end_ms) {
                h->watch_failures << text;
                return;
            }
        }
    }
    if (++run.watch.unattached_count <= MAX_DETAILS)
        run.watch.unattached << text;
}

void add_malformed(RunRecord& run, StreamRecord& lane, const StationEvent& e, qint64 count)
{
    if (count <= 0)
        return;
    Mark mark;
    mark.start_ms = mark.end_ms = e.at_ms;
    mark.count = count;
    add_mark(lane.malformed, mark);
    lane.malformed_count += count;
    add_detail(lane.malformed_details, lane.malformed_details.size() + 1, detail_text(run, e, count));
}

// A suppressed report counts each sender's datagrams in that sender's lane,
// so the lanes add up to the summary; those not told apart go to a lane of
// their own (from "", drawn as other senders).
void record_suppressed(RunRecord& run, const StationEvent& e)
{
    qint64 rest = e.count;
    for (const auto& one : e.per_sender) {
        add_malformed(run, lane_for(run, one.first), e, one.second);
        rest -= one.second;
    }
    if (rest > 0)
        add_malformed(run, lane_for(run, e.per_sender.empty() ? e.from : QString()), e, rest);
}

void record_event(RunRecord& run, const StationEvent& e)
{
    if (record_watch_event(run.watch, e)) {
        if (e.kind == EventKind::Watch && watch_kind_is_problem(WatchKind(e.watch_kind)))
            attach_watch_problem(run, e);
        return;
    }
    if (e.kind == EventKind::Suppressed) {
        record_suppressed(run, e);
        return;
    }
    if (e.kind == EventKind::Listening || e.kind == EventKind::Untracked || e.from.isEmpty())
        return;
    StreamRecord& lane = lane_for(run, e.from);
    if (!shared(lane) && (e.kind != EventKind::Malformed && e.kind != EventKind::Suppressed)) {
        lane.station = e.station;
        lane.band = e.band;
    }
    switch (e.kind) {
    case EventKind::Hold:
    case EventKind::Resume:
        tick(lane, e.at_ms);
        if (lane.holding)  // a shared lane's sender may not have ended its own
            close_hold(lane, e.at_ms, HoldEnd::Open);
        start_hold(run, lane, e);
        break;
    case EventKind::Keepalive:
        tick(lane, e.at_ms);
        if (lane.holding) {
            ++lane.current.keepalives;
            lane.current.margin_ms = qMin(lane.current.margin_ms, lane.current.last_ttl_ms - e.interval_ms);
            lane.current.last_ttl_ms = e.ttl_ms;
        }
        break;
    case EventKind::Release:
        tick(lane, e.at_ms);
        if (lane.holding) {
            lane.current.keepalives = e.keepalives;
            lane.current.margin_ms = e.margin_ms;
            close_hold(lane, e.at_ms, HoldEnd::Released);
        }
        break;
    case EventKind::Lapse: {
        ++lane.lapse_count;
        Mark mark;
        mark.end_ms = e.at_ms;
        // From the expiry (the last arrival + its ttl) to when it was seen.
        mark.start_ms = qMin(e.at_ms, e.at_ms - e.silence_ms + e.ttl_ms);
        mark.value = e.silence_ms;
        mark.detail = e.ttl_ms;
        add_mark(lane.lapses, mark);
        if (lane.holding) {
            lane.current.silence_ms = e.silence_ms;
            lane.current.lapse_ttl_ms = e.ttl_ms;
            lane.current.margin_ms = qMin(lane.current.margin_ms, e.ttl_ms - e.silence_ms);
            close_hold(lane, e.at_ms, HoldEnd::Lapsed);
        } else {
            ++lane.unlisted_lapses;  // never lost, even without its hold
            lane.unlisted_max_silence_ms = qMax(lane.unlisted_max_silence_ms, e.silence_ms);
        }
        break;
    }
    case EventKind::SeqGap:
    case EventKind::SeqDuplicate:
    case EventKind::SeqBackwards: {
        if (e.kind != EventKind::SeqGap)
            tick(lane, e.at_ms);
        Mark mark;
        mark.start_ms = mark.end_ms = e.at_ms;
        add_mark(lane.seq, mark);
        ++lane.seq_problems;
        add_detail(lane.seq_details, lane.seq_problems, detail_text(run, e));
        break;
    }
    case EventKind::Malformed:
        add_malformed(run, lane, e, 1);
        break;
    case EventKind::Evicted:
        if (lane.holding && !shared(lane))
            close_hold(lane, e.at_ms, HoldEnd::Evicted);
        break;
    case EventKind::Restart:
        // The sender started afresh: what it still held ends here, not as a lapse.
        if (lane.holding && !shared(lane))
            close_hold(lane, e.at_ms, HoldEnd::Restarted);
        break;
    case EventKind::Note:
        if (e.seq >= 0)
            tick(lane, e.at_ms);
        break;
    case EventKind::Listening:
    case EventKind::ForwardFailed:
    case EventKind::Watch:
    case EventKind::WatchSeen:
    case EventKind::WatchModel:
    case EventKind::Suppressed:
    case EventKind::Untracked:
        break;
    }
}

}  // namespace

void add_mark(MarkList& list, const Mark& mark)
{
    if (!list.marks.empty() && mark.start_ms - list.marks.back().end_ms <= list.merge_ms) {
        merge_into(list.marks.back(), mark);
        return;
    }
    list.marks.push_back(mark);
    if (static_cast<int>(list.marks.size()) <= MAX_MARKS)
        return;
    list.merge_ms = qMax<qint64>(1, list.merge_ms * 2);
    list.marks = merged_marks(list.marks, list.merge_ms);
}

std::vector<Mark> merged_marks(const std::vector<Mark>& marks, qint64 merge_ms)
{
    std::vector<Mark> out;
    out.reserve(marks.size());
    for (const Mark& mark : marks) {
        if (!out.empty() && mark.start_ms - out.back().end_ms <= merge_ms)
            merge_into(out.back(), mark);
        else
            out.push_back(mark);
    }
    return out;
}

void record_events(RunRecord& run, const StationEvents& events)
{
    for (const StationEvent& event : events)
        record_event(run, event);
}

void end_run_record(RunRecord& run, qint64 end_ms)
{
    run.end_ms = end_ms;
    for (StreamRecord& lane : run.streams)
        if (lane.holding)
            close_hold(lane, end_ms, HoldEnd::Open);
    end_watch_record(run.watch, end_ms);
}

qint64 wall_ms(const RunRecord& run, qint64 at_ms)
{
    return run.wall_start_ms + (at_ms - run.start_ms);
}

QString wall_stamp(const RunRecord& run, qint64 at_ms)
{
    return log_stamp(QDateTime::fromMSecsSinceEpoch(wall_ms(run, at_ms)).time());
}

RunTotals run_totals(const StreamTable& table)
{
    RunTotals t;
    t.problems = table_problems(table);
    t.holds = table.holds;
    t.lapses = table.lapses;
    t.seq_problems = table.seq_problems;
    t.malformed = table.malformed;
    t.streams = static_cast<qint64>(table.streams.size());
    t.evicted = table.evicted;
    t.untracked = table.untracked;
    t.kernel_drops = table.kernel_drops + table.unchecked;
    t.expect_holds = table.expect_holds;
    t.holds_ended = table.holds_ended;
    t.forward_errors = table.forward_errors;
    return t;
}

QString xml_safe(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const ushort u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += c;
            out += text.at(++i);
            continue;
        }
        if (c.isSurrogate() || u == 0xfffe || u == 0xffff || (u < 0x20 && u != '\t' && u != '\n' && u != '\r'))
            continue;
        out += c;
    }
    return out;
}
