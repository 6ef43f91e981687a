#include "report/station_vcd.h"

#include <QTextStream>

namespace {

const char* const WIRE_SUFFIX[STREAM_WIRES] = {"hold", "arrival", "lapse", "seq", "malformed"};

int wire(int slot, StreamWire w)
{
    return slot * STREAM_WIRES + w;
}

QString slot_note(int slot, const StationEvent& e)
{
    QString note = QStringLiteral("s%1: %2").arg(slot).arg(e.from);
    if (!e.station.isNull())
        note += QStringLiteral(" station \"%1\" band \"%2\"").arg(e.station, e.band);
    return note;
}

QString beyond_note(const StationVcd& vcd)
{
    return QStringLiteral("Senders beyond s%1, not drawn: %2%3")
        .arg(STATION_VCD_SLOTS - 1)
        .arg(vcd.beyond.size())
        .arg(vcd.beyond_full ? QStringLiteral(" or more") : QString());
}

// A sender that found no slot: counted once.
void count_beyond(StationVcd& vcd, const QString& from)
{
    if (vcd.beyond.count(from) > 0)
        return;
    if (int(vcd.beyond.size()) >= STATION_VCD_COUNTED_BEYOND) {
        vcd.beyond_full = true;
        return;
    }
    vcd.beyond.insert(from);
    if (vcd.beyond.size() == 1)
        vcd_write_note(vcd.writer, STATION_VCD_SLOTS, beyond_note(vcd));
}

// A pulse on the wire, unless it has one stamped in the same millisecond.
void mark(StationVcd& vcd, qint64 at_ms, qint64 t_us, int w)
{
    if (vcd.last_mark_ms[w] == at_ms)
        return;
    vcd.last_mark_ms[w] = at_ms;
    vcd_write_mark(vcd.writer, t_us, w);
}

void draw(StationVcd& vcd, int slot, qint64 t_us, const StationEvent& e)
{
    VcdWriter& w = vcd.writer;
    switch (e.kind) {
    case EventKind::Hold:
    case EventKind::Resume:
        vcd_write_level(w, t_us, wire(slot, STREAM_WIRE_HOLD), true);
        mark(vcd, e.at_ms, t_us, wire(slot, STREAM_WIRE_ARRIVAL));
        break;
    case EventKind::Release:
        vcd_write_level(w, t_us, wire(slot, STREAM_WIRE_HOLD), false);
        mark(vcd, e.at_ms, t_us, wire(slot, STREAM_WIRE_ARRIVAL));
        break;
    case EventKind::Keepalive:
    case EventKind::Note:
        mark(vcd, e.at_ms, t_us, wire(slot, STREAM_WIRE_ARRIVAL));
        break;
    case EventKind::Lapse:
        vcd_write_level(w, t_us, wire(slot, STREAM_WIRE_HOLD), false);
        mark(vcd, e.at_ms, t_us, wire(slot, STREAM_WIRE_LAPSE));
        break;
    case EventKind::SeqGap:
        mark(vcd, e.at_ms, t_us, wire(slot, STREAM_WIRE_SEQ));
        break;
    case EventKind::SeqDuplicate:
    case EventKind::SeqBackwards:
        mark(vcd, e.at_ms, t_us, wire(slot, STREAM_WIRE_SEQ));
        mark(vcd, e.at_ms, t_us, wire(slot, STREAM_WIRE_ARRIVAL));
        break;
    case EventKind::Malformed:
    case EventKind::Suppressed:
        mark(vcd, e.at_ms, t_us, wire(slot, STREAM_WIRE_MALFORMED));
        break;
    case EventKind::Evicted:
        // The station forgot the stream, and any hold it had.
        vcd_write_level(w, t_us, wire(slot, STREAM_WIRE_HOLD), false);
        break;
    case EventKind::Restart:
        // What the run before held ends; the new run's HOLD follows.
        vcd_write_level(w, t_us, wire(slot, STREAM_WIRE_HOLD), false);
        break;
    case EventKind::Listening:
    case EventKind::ForwardFailed:
    case EventKind::Watch:
    case EventKind::WatchSeen:
    case EventKind::WatchModel:
    case EventKind::Untracked:
        break;
    }
}

}  // namespace

QStringList station_wire_names()
{
    QStringList names;
    for (int slot = 0; slot < STATION_VCD_SLOTS; ++slot)
        for (const char* suffix : WIRE_SUFFIX)
            names << QStringLiteral("s%1_%2").arg(slot).arg(QLatin1String(suffix));
    return names;
}

bool open_station_vcd(StationVcd& vcd, const QString& path, const QDateTime& start_wall, qint64 start_ms,
                      const QStringList& arguments, QString* error, bool watch_tx, bool watch_inhibited)
{
    QStringList wires = station_wire_names();
    const bool watched[2] = {watch_tx, watch_inhibited};
    const char* const watch_names[2] = {"tx", "station_inhibited"};
    for (int side = 0; side < 2; ++side) {
        if (!watched[side])
            continue;
        vcd.watch_wire[side] = wires.size();
        wires << QLatin1String(watch_names[side]);
    }
    VcdHeaderFields fields =
        run_header_fields(start_wall, arguments, QStringLiteral("keyline_station"), wires);
    fields.note_title = QStringLiteral("Times are stamped in whole ms: marks of one wire in the same ms share "
                                       "one pulse. Slots in the order their senders were first heard "
                                       "(sender address:port, station, band):");
    fields.notes = STATION_VCD_SLOTS + 1;  // the last counts the senders beyond them
    vcd.start_ms = start_ms;
    for (qint64& at : vcd.last_mark_ms)
        at = -1;
    vcd.writer.option_text = QStringLiteral("keyline-station: --vcd ") + path;
    return open_vcd_writer(vcd.writer, path, vcd_header(fields), wires.size(), error);
}

int station_vcd_slot(StationVcd& vcd, const QString& from)
{
    for (int i = 0; i < vcd.slots_used; ++i)
        if (vcd.slot_from[i] == from)
            return i;
    if (vcd.slots_used >= STATION_VCD_SLOTS)
        return -1;
    vcd.slot_from[vcd.slots_used] = from;
    return vcd.slots_used++;
}

void station_vcd_events(StationVcd& vcd, const StationEvents& events)
{
    if (!vcd_open(vcd.writer))
        return;
    for (const StationEvent& e : events) {
        if (e.kind == EventKind::WatchSeen) {
            if (vcd.watch_wire[e.watch_side] >= 0)
                vcd_write_level(vcd.writer, qMax<qint64>(0, e.at_ms - vcd.start_ms) * 1000,
                                vcd.watch_wire[e.watch_side], e.level);
            continue;
        }
        if (e.kind == EventKind::Suppressed && !e.per_sender.empty()) {
            // Each sender's share of the summary, on its own wire.
            for (const auto& one : e.per_sender) {
                StationEvent share = e;
                share.per_sender.clear();
                share.from = one.first;
                station_vcd_events(vcd, {share});
            }
            continue;
        }
        // A sender not followed has no stream to draw.
        if (e.from.isEmpty() || e.kind == EventKind::Untracked)
            continue;
        const int slot = station_vcd_slot(vcd, e.from);
        if (slot < 0) {
            count_beyond(vcd, e.from);
            continue;
        }
        // The note follows the latest station and band the sender gave.
        const bool named = !e.station.isNull() || !e.band.isNull();
        if (!vcd.slot_noted[slot] || (named && (e.station != vcd.slot_station[slot] || e.band != vcd.slot_band[slot]))) {
            vcd.slot_noted[slot] = true;
            vcd.slot_station[slot] = e.station;
            vcd.slot_band[slot] = e.band;
            vcd_write_note(vcd.writer, slot, slot_note(slot, e));
        }
        const qint64 t_us = qMax<qint64>(0, e.at_ms - vcd.start_ms) * 1000;
        draw(vcd, slot, t_us, e);
    }
}

void close_station_vcd(StationVcd& vcd, qint64 now_ms)
{
    if (!vcd_open(vcd.writer))
        return;
    if (!vcd.beyond.empty() || vcd.beyond_full) {
        vcd_write_note(vcd.writer, STATION_VCD_SLOTS, beyond_note(vcd));
        if (vcd.writer.err) {
            *vcd.writer.err << vcd.writer.option_text << ": " << beyond_note(vcd)
                            << " (only the first " << STATION_VCD_SLOTS << " senders have wires)\n";
            vcd.writer.err->flush();
        }
    }
    close_vcd_writer(vcd.writer, qMax<qint64>(0, now_ms - vcd.start_ms) * 1000);
}
