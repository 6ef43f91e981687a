#pragma once
// keyline-station's eyes on the station under test: its rig's PTT through
// hamlib (--watch-rig) or its own log (--watch-log). The rig is polled and
// the log read on threads of their own; what they hand over is taken here on
// the main thread, judged against the model the stream table holds (watch/)
// and turned into station events: judgements (watch), what was seen
// (watch_seen) and the model's inhibit (watch_model).

#include <QSet>
#include <QString>
#include <QStringList>

#include <vector>

#include "rig/ptt_poller.h"
#include "station/station_event.h"
#include "station/watch_totals.h"
#include "watch/log_command.h"
#include "watch/watch_judge.h"
#include "watch/watch_options.h"


// One way of seeing the station: its rig (WATCH_RIG) or its log (WATCH_LOG).
struct WatchSide {
    bool active = false;
    QString what;               // "rig 127.0.0.1:4532", "log 'tail -F station.log'"
    WatchJudge judge;
    int seen = -1;              // what was last seen: -1 nothing yet
    bool started = false;       // the rig answered, or the command printed a matching line
    bool taking = false;        // its thread still hands things over
};

constexpr int WATCH_RIG = 0;
constexpr int WATCH_LOG = 1;

struct StationWatch {
    WatchSide sides[2];
    bool expect_watch = false;
    PttPoller poller;
    LogCommand log;
    QSet<QString> holding;      // the streams that hold, by address:port
    bool model_held = false;
    bool cannot_start = false;  // the command could not run at all: exit 2
    QString start_error;
    std::vector<PttReading> readings;
    std::vector<LogLine> lines;
    WatchEvents judged;
};

bool watching(const StationWatch& watch);
// "rig 127.0.0.1:4532 and log 'tail -F station.log'", or empty.
QString watched_text(const StationWatch& watch);

// Opens the rig (and reads its PTT once) or starts the command. False with
// error when it cannot: the run is refused (status 2). expect_watch: what
// could not be judged is a problem.
bool open_station_watch(StationWatch& watch, const WatchOptions& options, bool expect_watch, qint64 now_ms,
                        QString& error);

// Readable when the rig's poller or the log's reader has something to take;
// -1 when it does not run.
int station_watch_fd(const StationWatch& watch, int side);

// The model's changes from the station's events, appended to model.
void watch_model_events(StationWatch& watch, const StationEvents& events, StationEvents& model);

// Takes what the poller or the command handed over. Sets cannot_start when
// the command could not run at all.
void take_watch_input(StationWatch& watch, StationEvents& events);

// Judges up to until_ms (the model must be final up to there).
void judge_station_watch(StationWatch& watch, qint64 until_ms, StationEvents& events);
qint64 station_watch_deadline_ms(const StationWatch& watch);

// The end of the run: judges what is left and stops the threads.
void finish_station_watch(StationWatch& watch, qint64 end_ms, StationEvents& events);
void close_station_watch(StationWatch& watch);

// Judgements that are problems, and 1 more when --expect-watch finds
// something not judged.
qint64 station_watch_problems(const StationWatch& watch);
// Why parts were not judged, each prefixed with its side ("rig: ...").
QStringList station_watch_not_judged(const StationWatch& watch);
WatchTotals station_watch_totals(const StationWatch& watch);
