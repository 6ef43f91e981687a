#include "station/stream_table.h"

#include "common/text_escape.h"

#include <cstring>

const char* event_name(EventKind kind)
{
    switch (kind) {
    case EventKind::Listening: return "listening";
    case EventKind::Hold: return "hold";
    case EventKind::Keepalive: return "keepalive";
    case EventKind::Release: return "release";
    case EventKind::Lapse: return "lapse";
    case EventKind::Resume: return "resume";
    case EventKind::SeqGap: return "seq_gap";
    case EventKind::SeqDuplicate: return "seq_duplicate";
    case EventKind::SeqBackwards: return "seq_backwards";
    case EventKind::Malformed: return "malformed";
    case EventKind::Suppressed: return "suppressed";
    case EventKind::Evicted: return "evicted";
    case EventKind::Note: return "note";
    case EventKind::Restart: return "restart";
    case EventKind::ForwardFailed: return "forward_failed";
    case EventKind::Untracked: return "untracked";
    }
    return "note";
}

namespace {

StationEvent stream_event(EventKind kind, const Stream& stream)
{
    StationEvent event;
    event.kind = kind;
    event.from = stream.from;
    event.station = stream.station;
    event.band = stream.band;
    return event;
}

void add_note(StationEvents& events, const Stream& stream, qint64 seq, const QString& text)
{
    StationEvent event = stream_event(EventKind::Note, stream);
    event.seq = seq;
    event.text = text;
    events.push_back(event);
}

void lapse(StreamTable& table, Stream& stream, qint64 now_ms, StationEvents& events)
{
    StationEvent event = stream_event(EventKind::Lapse, stream);
    event.seq = stream.highest_seq;
    event.ttl_ms = stream.last_ttl_ms;
    event.silence_ms = now_ms - stream.last_arrival_ms;
    events.push_back(event);
    stream.holding = false;
    stream.lapsed = true;
    stream.expiry_ms = -1;
    ++stream.lapses;
    ++table.lapses;
    ++table.holds_ended;
}

// Makes room for one more stream: evicts the least recently heard of those
// that hold nothing. False when every stream holds.
bool evict_one(StreamTable& table, qint64 now_ms, StationEvents& events)
{
    // A hold whose time is up is judged now, so its stream can go.
    expire_holds(table, now_ms, events);
    auto victim = table.streams.end();
    for (auto it = table.streams.begin(); it != table.streams.end(); ++it) {
        if (it->second.holding)
            continue;
        if (victim == table.streams.end() || it->second.last_heard_ms < victim->second.last_heard_ms)
            victim = it;
    }
    if (victim == table.streams.end())
        return false;
    StationEvent event = stream_event(EventKind::Evicted, victim->second);
    event.seq = victim->second.highest_seq;
    events.push_back(event);
    ++table.evicted;
    table.streams.erase(victim);
    return true;
}

// A sender that cannot be followed: counted, and said at most once a second.
void untracked(StreamTable& table, const SenderId& sender, qint64 arrival_ms, const InhibitFields& fields,
               StationEvents& events)
{
    ++table.untracked;
    if (table.untracked_said_ms >= 0 && arrival_ms - table.untracked_said_ms < UNTRACKED_REPORT_MS)
        return;
    table.untracked_said_ms = arrival_ms;
    StationEvent event;
    event.kind = EventKind::Untracked;
    event.from = sender_text(sender);
    event.seq = fields.seq;
    event.ttl_ms = fields.ttl_ms;
    event.count = table.untracked;
    events.push_back(event);
}

// The sender's stream, a new one when there is room; null when every stream holds.
Stream* find_or_add(StreamTable& table, const SenderId& sender, qint64 arrival_ms, StationEvents& events)
{
    auto it = table.streams.find(sender);
    if (it != table.streams.end()) {
        table.full_until_ms = -1;  // it may release: look again at the next stranger
        return &it->second;
    }
    if (static_cast<int>(table.streams.size()) >= table.max_streams) {
        // A flood of strangers costs no scan while nothing can have changed.
        if (table.full_until_ms >= 0 && arrival_ms < table.full_until_ms)
            return nullptr;
        if (!evict_one(table, arrival_ms, events)) {
            table.full_until_ms = next_expiry_ms(table);
            return nullptr;
        }
    }
    Stream& stream = table.streams[sender];
    stream.from = sender_text(sender);
    stream.first_order = table.next_order++;
    return &stream;
}

void take_text(QByteArray& raw, QString& shown, const JsonSpan& body)
{
    if (!shown.isNull() && raw.size() == body.size && std::memcmp(raw.constData(), body.begin, body.size) == 0)
        return;
    raw = QByteArray(body.begin, body.size);
    shown = escape_text(field_text(body));
}

void take_texts(Stream& stream, const InhibitFields& fields)
{
    take_text(stream.raw_station, stream.station, fields.station);
    take_text(stream.raw_band, stream.band, fields.band);
}

// A new run from the same address:port: what the run before held ends here.
void restart(StreamTable& table, Stream& stream, qint64 arrival_ms, const InhibitFields& fields,
             StationEvents& events)
{
    StationEvent event = stream_event(EventKind::Restart, stream);
    event.seq = fields.seq;
    event.ttl_ms = fields.ttl_ms;
    event.highest_seq = stream.highest_seq;
    if (stream.holding) {
        event.ended_hold = true;
        event.hold_ms = arrival_ms - stream.hold_start_ms;
        stream.holding = false;
        stream.expiry_ms = -1;
        // Not counted as ended: --holds and --expect-holds wait for holds
        // judged to their end, as the new run's will be.
    }
    events.push_back(event);
    stream.lapsed = false;  // the new run holds afresh, it does not resume
    stream.highest_seq = 0;
    ++table.restarts;
}

void start_hold(StreamTable& table, Stream& stream, EventKind kind, qint64 arrival_ms,
                const InhibitFields& fields, StationEvents& events)
{
    stream.holding = true;
    stream.lapsed = false;
    stream.hold_start_ms = arrival_ms;
    stream.keepalives = 0;
    stream.max_silence_ms = 0;
    stream.margin_ms = fields.ttl_ms;
    ++stream.holds;
    ++table.holds;
    StationEvent event = stream_event(kind, stream);
    event.seq = fields.seq;
    event.ttl_ms = fields.ttl_ms;
    if (kind == EventKind::Resume)
        event.outage_ms = arrival_ms - stream.last_arrival_ms;
    events.push_back(event);
}

// A datagram inside a hold: the silence before it and the ttl it left.
void measure_gap(Stream& stream, qint64 arrival_ms)
{
    const qint64 gap = arrival_ms - stream.last_arrival_ms;
    stream.max_silence_ms = qMax(stream.max_silence_ms, gap);
    stream.margin_ms = qMin(stream.margin_ms, stream.last_ttl_ms - gap);
}

}  // namespace

void track_datagram(StreamTable& table, const SenderId& sender, qint64 arrival_ms,
                    const InhibitFields& fields, StationEvents& events)
{
    Stream* found = find_or_add(table, sender, arrival_ms, events);
    if (!found) {
        untracked(table, sender, arrival_ms, fields, events);
        return;
    }
    Stream& stream = *found;

    // Time ran out before this datagram came, whatever it says.
    if (stream.holding && arrival_ms >= stream.expiry_ms)
        lapse(table, stream, arrival_ms, events);

    const bool restarted = stream.highest_seq != 0 && fields.seq == 1 &&
                           arrival_ms - stream.run_start_ms >= REORDER_WINDOW_MS;
    if (!restarted && stream.highest_seq != 0 && fields.seq <= stream.highest_seq) {
        // Reported and otherwise ignored: it changes nothing, not the names.
        StationEvent event = stream_event(
            fields.seq == stream.highest_seq ? EventKind::SeqDuplicate : EventKind::SeqBackwards, stream);
        event.seq = fields.seq;
        event.ttl_ms = fields.ttl_ms;
        event.highest_seq = stream.highest_seq;
        events.push_back(event);
        ++stream.seq_problems;
        ++table.seq_problems;
        return;
    }
    stream.last_heard_ms = arrival_ms;
    take_texts(stream, fields);
    if (restarted)
        restart(table, stream, arrival_ms, fields, events);

    if (stream.highest_seq == 0) {
        stream.run_start_ms = arrival_ms;
        if (fields.seq != 1)
            add_note(events, stream, fields.seq,
                     QStringLiteral("joined mid-run at seq %1").arg(fields.seq));
    } else if (fields.seq > stream.highest_seq + 1) {
        StationEvent event = stream_event(EventKind::SeqGap, stream);
        event.seq = fields.seq;
        event.ttl_ms = fields.ttl_ms;
        event.missing = fields.seq - stream.highest_seq - 1;
        events.push_back(event);
        ++stream.seq_problems;
        ++table.seq_problems;
    }
    stream.highest_seq = fields.seq;

    if (fields.ttl_ms > 0) {
        if (stream.holding) {
            measure_gap(stream, arrival_ms);
            ++stream.keepalives;
            StationEvent event = stream_event(EventKind::Keepalive, stream);
            event.seq = fields.seq;
            event.ttl_ms = fields.ttl_ms;
            event.interval_ms = arrival_ms - stream.last_arrival_ms;
            events.push_back(event);
        } else {
            start_hold(table, stream, stream.lapsed ? EventKind::Resume : EventKind::Hold,
                       arrival_ms, fields, events);
        }
        stream.expiry_ms = arrival_ms + fields.ttl_ms;
        stream.last_ttl_ms = fields.ttl_ms;
    } else if (stream.holding) {
        measure_gap(stream, arrival_ms);
        StationEvent event = stream_event(EventKind::Release, stream);
        event.seq = fields.seq;
        event.ttl_ms = 0;
        event.hold_ms = arrival_ms - stream.hold_start_ms;
        event.keepalives = stream.keepalives;
        event.max_silence_ms = stream.max_silence_ms;
        event.margin_ms = stream.margin_ms;
        events.push_back(event);
        stream.holding = false;
        stream.expiry_ms = -1;
        ++table.holds_ended;
    } else if (stream.lapsed) {
        stream.lapsed = false;
        add_note(events, stream, fields.seq, QStringLiteral("RELEASE after a lapse"));
    } else {
        add_note(events, stream, fields.seq, QStringLiteral("RELEASE with no hold"));
    }
    stream.last_arrival_ms = arrival_ms;
}

void expire_holds(StreamTable& table, qint64 now_ms, StationEvents& events)
{
    for (auto& entry : table.streams) {
        Stream& stream = entry.second;
        if (stream.holding && now_ms >= stream.expiry_ms)
            lapse(table, stream, now_ms, events);
    }
}

qint64 next_expiry_ms(const StreamTable& table)
{
    qint64 next = -1;
    for (const auto& entry : table.streams) {
        const Stream& stream = entry.second;
        if (stream.holding && (next < 0 || stream.expiry_ms < next))
            next = stream.expiry_ms;
    }
    return next;
}

bool too_few_holds(const StreamTable& table)
{
    return table.expect_holds > 0 && table.holds_ended < table.expect_holds;
}

qint64 table_problems(const StreamTable& table)
{
    // A datagram the real station behind the tap did not get hides what it
    // went through: not all good.
    return table.lapses + table.seq_problems + table.malformed + table.untracked +
           (too_few_holds(table) ? 1 : 0) + qMax<qint64>(0, table.forward_errors);
}
