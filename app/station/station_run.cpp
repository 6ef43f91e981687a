#include "app/station/station_run.h"

namespace {

// Events are handed on in batches of this many while a queue is drained.
constexpr size_t FLUSH_EVERY = 256;

// What the tap's thread handed over, checked as the socket's datagrams are;
// with a horizon, first makes sure of everything queued before it (a marker).
void drain_tap(StationRun& run, int limit, qint64 horizon_ms)
{
    ForwardThread& tap = run.tap;
    clear_tap_wake(tap);
    const qint64 marker = horizon_ms >= 0 ? send_tap_marker(tap) : -1;
    const qint64 give_up_ms = station_now_ms() + 2000;
    TapRecord record;
    int size = 0;
    for (int n = 0; n < limit;) {
        if (!take_tap_record(tap, record, run.buffer, size)) {
            if (marker < 0 || station_now_ms() >= give_up_ms)
                break;
            wait_tap_records(tap, 20);
            continue;
        }
        ++n;
        if (record.kind == TapRecord::Marker) {
            if (marker >= 0 && record.serial >= marker)
                break;
            continue;
        }
        check_tap_record(tap, run.tap_checking, run.station, record, run.buffer.data(), size, run.events);
        if (run.events.size() >= FLUSH_EVERY)
            flush_events(run);
        if (horizon_ms >= 0 && record.arrival_ms > horizon_ms)
            break;
    }
    flush_events(run);
    // What is left for later wakes the loop again.
    wake_if_records_wait(tap);
}

}  // namespace

void model_events(StationRun& run)
{
    if (run.modelled >= run.events.size())
        return;
    run.model_changes.clear();
    watch_model_events(run.watch, StationEvents(run.events.begin() + run.modelled, run.events.end()),
                       run.model_changes);
    run.events.insert(run.events.end(), run.model_changes.begin(), run.model_changes.end());
    run.modelled = run.events.size();
}

void judge_watch(StationRun& run, qint64 now_ms)
{
    if (!watching(run.watch))
        return;
    model_events(run);
    judge_station_watch(run.watch, now_ms, run.events);
    run.modelled = run.events.size();
}

void flush_events(StationRun& run)
{
    model_events(run);
    run.modelled = 0;
    station_vcd_events(run.vcd, run.events);
    collect_events(run.reports, run.events);
    write_events(run.output, run.events);
    run.events.clear();
}

void drain_datagrams(StationRun& run, int limit, qint64 horizon_ms)
{
    if (run.options->forward) {
        drain_tap(run, limit, horizon_ms);
        return;
    }
    ReceivedDatagram datagram;
    for (int n = 0; n < limit; ++n) {
        if (!receive_datagram(run.fd, run.buffer.data(), static_cast<int>(run.buffer.size()), run.queue, datagram))
            break;
        run.station.table.kernel_drops = qMax(run.station.table.kernel_drops, datagram.kernel_drops);
        receive_payload(run.station, datagram.sender, datagram.arrival_ms, run.buffer.data(), datagram.size,
                        run.events);
        if (run.events.size() >= FLUSH_EVERY)
            flush_events(run);
        if (horizon_ms >= 0 && datagram.arrival_ms > horizon_ms)
            break;
    }
    flush_events(run);
}

void catch_up(StationRun& run, qint64 now_ms)
{
    drain_datagrams(run, 1 << 30, now_ms);
    station_tick(run.station, now_ms, run.events);
    judge_watch(run, now_ms);
    flush_events(run);
}
