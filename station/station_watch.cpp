#include "station/station_watch.h"

#include <algorithm>

#include "common/text_escape.h"
#include "rig/hamlib_rig.h"
#include "rig/rig_address.h"

namespace {

// A command that ends this soon with one of these statuses, having printed
// nothing that matched, could not run at all (not found, not executable).
constexpr qint64 START_WINDOW_MS = 2000;

bool could_not_run(int status)
{
    return status == 126 || status == 127;
}

void judged_events(const WatchEvents& judged, int side, StationEvents& events)
{
    for (const WatchEvent& w : judged) {
        StationEvent e;
        e.kind = EventKind::Watch;
        e.watch_side = side;
        e.watch_kind = static_cast<int>(w.kind);
        e.at_ms = w.at_ms;
        e.change_ms = w.change_ms;
        e.offset_ms = w.offset_ms;
        e.lasted_ms = w.lasted_ms;
        e.again = w.again;
        e.text = escape_text(w.text);
        events.push_back(e);
    }
}

void seen(WatchSide& side, int index, qint64 at_ms, bool level, StationEvents& events)
{
    side.started = true;
    watch_observe(side.judge, at_ms, level);
    if (side.seen == int(level))
        return;
    side.seen = int(level);
    StationEvent e;
    e.kind = EventKind::WatchSeen;
    e.watch_side = index;
    e.at_ms = at_ms;
    e.level = level;
    events.push_back(e);
}

bool open_rig_side(StationWatch& watch, const WatchOptions& options, QString& error)
{
    RigAddress address;
    if (!parse_rig_address(options.rig, address, error))
        return false;
    RigHandle* rig = open_rig(address, error);
    if (!rig) {
        error = QStringLiteral("cannot open the rig %1: %2").arg(options.rig, error);
        return false;
    }
    // One read now: a rig that cannot tell its PTT is refused at once.
    bool on = false;
    if (!read_ptt(rig, on, error)) {
        error = QStringLiteral("cannot read the PTT of %1: %2").arg(options.rig, error);
        close_rig(rig);
        return false;
    }
    if (!start_ptt_poller(watch.poller, rig, options.poll_ms, error))
        return false;
    watch.sides[WATCH_RIG].what = QStringLiteral("rig ") + options.rig;
    return true;
}

bool open_log_side(StationWatch& watch, const WatchOptions& options, QString& error)
{
    watch.log.command = options.log;
    watch.log.inhibited = QRegularExpression(options.inhibited_re);
    watch.log.free = QRegularExpression(options.free_re);
    if (!start_log_command(watch.log, error)) {
        error = QStringLiteral("cannot run --watch-log %1: %2").arg(options.log, error);
        return false;
    }
    watch.sides[WATCH_LOG].what = QStringLiteral("log '%1'").arg(options.log);
    return true;
}

}  // namespace

bool watching(const StationWatch& watch)
{
    return watch.sides[WATCH_RIG].active || watch.sides[WATCH_LOG].active;
}

QString watched_text(const StationWatch& watch)
{
    QStringList parts;
    for (const WatchSide& side : watch.sides)
        if (side.active)
            parts << side.what;
    return escape_text(parts.join(QStringLiteral(" and ")));
}

bool open_station_watch(StationWatch& watch, const WatchOptions& options, bool expect_watch, qint64 now_ms,
                        QString& error)
{
    watch.expect_watch = expect_watch;
    WatchConfig config;
    config.react_ms = options.react_ms;
    if (!options.rig.isEmpty()) {
        if (!open_rig_side(watch, options, error))
            return false;
        config.source = WatchSource::Rig;
        config.expect_tx = options.expect_tx;
        watch_start(watch.sides[WATCH_RIG].judge, config, now_ms);
        watch.sides[WATCH_RIG].active = watch.sides[WATCH_RIG].taking = true;
    }
    if (!options.log.isEmpty()) {
        if (!open_log_side(watch, options, error)) {
            close_station_watch(watch);
            return false;
        }
        config.source = WatchSource::Log;
        config.expect_tx = false;
        watch_start(watch.sides[WATCH_LOG].judge, config, now_ms);
        watch.sides[WATCH_LOG].active = watch.sides[WATCH_LOG].taking = true;
    }
    return true;
}

int station_watch_fd(const StationWatch& watch, int side)
{
    if (!watch.sides[side].taking)
        return -1;
    return side == WATCH_RIG ? watch.poller.queue.wake_fd : watch.log.queue.wake_fd;
}

void watch_model_events(StationWatch& watch, const StationEvents& events, StationEvents& model)
{
    if (!watching(watch))
        return;
    // Changes of "any stream holds", one per moment: a restart's end and its
    // new hold at the same arrival are no change.
    std::vector<std::pair<qint64, bool>> changes;
    for (const StationEvent& e : events) {
        qint64 at = e.at_ms;
        switch (e.kind) {
        case EventKind::Hold:
        case EventKind::Resume:
            watch.holding.insert(e.from);
            break;
        case EventKind::Lapse:
            // The hold ended at its expiry, not when the lapse was noticed.
            at = qMin(e.at_ms, e.at_ms - e.silence_ms + e.ttl_ms);
            watch.holding.remove(e.from);
            break;
        case EventKind::Release:
        case EventKind::Evicted:
            watch.holding.remove(e.from);
            break;
        case EventKind::Restart:
            if (e.ended_hold)
                watch.holding.remove(e.from);
            break;
        default:
            continue;
        }
        const bool held = !watch.holding.isEmpty();
        if (!changes.empty() && changes.back().first >= at)
            changes.back().second = held;
        else
            changes.emplace_back(at, held);
    }
    for (const auto& change : changes) {
        if (change.second == watch.model_held)
            continue;
        watch.model_held = change.second;
        for (WatchSide& side : watch.sides)
            if (side.active)
                watch_model(side.judge, change.first, change.second);
        StationEvent e;
        e.kind = EventKind::WatchModel;
        e.at_ms = change.first;
        e.level = change.second;
        model.push_back(e);
    }
}

void take_watch_input(StationWatch& watch, StationEvents& events)
{
    WatchSide& rig = watch.sides[WATCH_RIG];
    if (rig.taking) {
        watch.readings.clear();
        take_ptt_readings(watch.poller, watch.readings);
        for (const PttReading& r : watch.readings) {
            if (!r.ok) {
                watch_lost(rig.judge, r.at_ms, QStringLiteral("the rig: %1").arg(r.error));
                rig.taking = false;
                break;
            }
            seen(rig, WATCH_RIG, watch_time_ms(r), r.on, events);
        }
    }
    WatchSide& log = watch.sides[WATCH_LOG];
    if (log.taking) {
        watch.lines.clear();
        take_log_lines(watch.log, watch.lines);
        for (const LogLine& line : watch.lines) {
            if (!line.lost.isEmpty()) {
                watch_lost(log.judge, line.at_ms, QStringLiteral("the command: %1").arg(line.lost));
                log.taking = false;
                break;
            }
            if (line.ended) {
                if (!log.started && could_not_run(line.exit_status) &&
                    line.at_ms - log.judge.start_ms < START_WINDOW_MS) {
                    watch.cannot_start = true;
                    watch.start_error =
                        QStringLiteral("cannot run --watch-log %1: the command ended with status %2")
                            .arg(watch.log.command)
                            .arg(line.exit_status);
                }
                watch_lost(log.judge, line.at_ms,
                           QStringLiteral("the command ended (status %1)").arg(line.exit_status));
                log.taking = false;
                break;
            }
            seen(log, WATCH_LOG, line.at_ms, line.inhibited, events);
        }
    }
}

void judge_station_watch(StationWatch& watch, qint64 until_ms, StationEvents& events)
{
    for (int i = 0; i < 2; ++i) {
        if (!watch.sides[i].active)
            continue;
        watch.judged.clear();
        watch_advance(watch.sides[i].judge, until_ms, watch.judged);
        judged_events(watch.judged, i, events);
    }
}

qint64 station_watch_deadline_ms(const StationWatch& watch)
{
    qint64 next = -1;
    for (const WatchSide& side : watch.sides) {
        const qint64 d = side.active ? watch_next_deadline_ms(side.judge) : -1;
        if (d >= 0 && (next < 0 || d < next))
            next = d;
    }
    return next;
}

void finish_station_watch(StationWatch& watch, qint64 end_ms, StationEvents& events)
{
    if (!watching(watch))
        return;
    take_watch_input(watch, events);
    for (int i = 0; i < 2; ++i) {
        if (!watch.sides[i].active)
            continue;
        watch.judged.clear();
        watch_finish(watch.sides[i].judge, end_ms, watch.judged);
        judged_events(watch.judged, i, events);
    }
}

void close_station_watch(StationWatch& watch)
{
    if (watch.poller.queue.wake_fd >= 0)
        stop_ptt_poller(watch.poller);
    if (watch.log.queue.wake_fd >= 0 || watch.log.thread.joinable())
        stop_log_command(watch.log);
    for (WatchSide& side : watch.sides)
        side.taking = false;
}

WatchTotals station_watch_totals(const StationWatch& watch)
{
    WatchTotals t;
    t.watching = watching(watch);
    t.what = watched_text(watch);
    t.problems = station_watch_problems(watch);
    t.not_judged = station_watch_not_judged(watch);
    t.expect_watch = watch.expect_watch;
    for (int i = 0; i < 2; ++i) {
        const WatchSide& side = watch.sides[i];
        t.sides[i] = side.active;
        t.side_what[i] = escape_text(side.what);
        if (!side.active)
            continue;
        for (int k = 0; k < WATCH_KINDS; ++k)
            t.counts[k] += side.judge.counts[k];
        t.max_tx_stop_ms = qMax(t.max_tx_stop_ms, side.judge.max_tx_stop_ms);
    }
    return t;
}

QStringList station_watch_not_judged(const StationWatch& watch)
{
    QStringList why;
    for (int i = 0; i < 2; ++i)
        if (watch.sides[i].active)
            for (const QString& reason : watch_not_judged(watch.sides[i].judge))
                why << (i == WATCH_RIG ? QStringLiteral("rig: ") : QStringLiteral("log: ")) + reason;
    return why;
}

qint64 station_watch_problems(const StationWatch& watch)
{
    qint64 n = 0;
    for (const WatchSide& side : watch.sides)
        if (side.active)
            n += watch_problems(side.judge);
    if (watch.expect_watch && !station_watch_not_judged(watch).isEmpty())
        ++n;
    return n;
}
