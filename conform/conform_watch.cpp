#include "conform/conform_watch.h"

#include "conform/scenario_judgement.h"
#include "rig/hamlib_rig.h"
#include "rig/ptt_poller.h"
#include "watch/log_command.h"
#include "watch/watch_judge.h"

struct ConformWatch {
    WatchRecord record;
    PttPoller poller;
    bool polling = false;
    LogCommand log;
    bool reading = false;
    ObservedLane lane;
};

namespace {

void observe(ConformWatch& watch, qint64 at_ms, bool level)
{
    watch.record.samples.push_back({at_ms, level});
    if (watch.lane.changes.empty() || watch.lane.changes.back().on != level)
        watch.lane.changes.push_back({at_ms, level});
}

void lose(ConformWatch& watch, qint64 at_ms, const QString& why)
{
    if (watch.record.lost_at_ms < 0) {
        watch.record.lost_at_ms = at_ms;
        watch.record.lost_text = why;
    }
}

}  // namespace

ConformWatch* start_conform_watch(const ConformOptions& options, QString* error)
{
    auto* watch = new ConformWatch;
    watch->record.config.react_ms = options.watch.react_ms;
    watch->lane.grace_ms = options.watch.react_ms;
    if (!options.watch.rig.isEmpty()) {
        watch->record.config.source = WatchSource::Rig;
        watch->record.config.expect_tx = options.watch.expect_tx;
        watch->record.free_side_watched = options.watch.expect_tx;
        watch->lane.name = QStringLiteral("PTT (on: transmitting)");
        watch->lane.on_means_inhibited = false;
        watch->lane.both_ways = options.watch.expect_tx;
        RigAddress address;
        QString why;
        if (!parse_rig_address(options.watch.rig, address, why)) {
            *error = QStringLiteral("--watch-rig: %1").arg(why);
            delete watch;
            return nullptr;
        }
        RigHandle* rig = open_rig(address, why);
        if (!rig) {
            *error = QStringLiteral("--watch-rig %1: %2").arg(options.watch.rig, why);
            delete watch;
            return nullptr;
        }
        if (!start_ptt_poller(watch->poller, rig, options.watch.poll_ms, why)) {
            *error = QStringLiteral("--watch-rig: %1").arg(why);
            delete watch;
            return nullptr;
        }
        watch->polling = true;
        return watch;
    }
    watch->record.config.source = WatchSource::Log;
    watch->lane.name = QStringLiteral("the log says inhibited");
    watch->lane.on_means_inhibited = true;
    watch->lane.both_ways = true;
    watch->log.command = options.watch.log;
    watch->log.inhibited = QRegularExpression(options.watch.inhibited_re);
    watch->log.free = QRegularExpression(options.watch.free_re);
    QString why;
    if (!start_log_command(watch->log, why)) {
        *error = QStringLiteral("--watch-log: %1").arg(why);
        delete watch;
        return nullptr;
    }
    watch->reading = true;
    return watch;
}

void stop_conform_watch(ConformWatch* watch)
{
    if (!watch)
        return;
    if (watch->polling)
        stop_ptt_poller(watch->poller);
    if (watch->reading)
        stop_log_command(watch->log);
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
            else if (watch->record.lost_at_ms < 0)
                observe(*watch, watch_time_ms(reading), reading.on);
        }
    }
    if (watch->reading) {
        std::vector<LogLine> lines;
        take_log_lines(watch->log, lines);
        for (const LogLine& line : lines) {
            if (!line.lost.isEmpty())
                lose(*watch, line.at_ms, QStringLiteral("the command: %1").arg(line.lost));
            else if (line.ended)
                lose(*watch, line.at_ms, QStringLiteral("the command ended (status %1)").arg(line.exit_status));
            else if (watch->record.lost_at_ms < 0)
                observe(*watch, line.at_ms, line.inhibited);
        }
    }
}

const ObservedLane& observed_lane(const ConformWatch* watch)
{
    return watch->lane;
}

void judge_scenario(ConformWatch* watch, ScenarioResult& result)
{
    judge_window(watch->record, result);
}
