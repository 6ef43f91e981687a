#pragma once
// What the timeline and the JUnit report keep of the watch of the station
// under test: the model's inhibit, what each side (rig, log) was seen doing,
// and where they disagreed. Bounded: past MAX_WATCH_SPANS a list's last span
// is stretched instead of a new one added, so a day-long run costs a fixed
// amount of memory (finer than a pixel until then).

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

#include "station/station_event.h"
#include "station/watch_totals.h"

constexpr int MAX_WATCH_SPANS = 4096;

struct WatchSpan {
    qint64 start_ms = 0;
    qint64 end_ms = -1;  // -1: still open
    int kind = -1;       // problems: a WatchKind
};

struct WatchRecord {
    bool sides[2] = {false, false};  // 0 the rig, 1 the log: seen at all
    std::vector<WatchSpan> model;     // inhibited
    std::vector<WatchSpan> level[2];  // PTT on; said inhibited
    std::vector<WatchSpan> problems[2];
    QStringList unattached;           // problem texts that fall in no listed hold
    qint64 unattached_count = 0;
};

// A watch, watch_seen or watch_model event; false for any other kind.
bool record_watch_event(WatchRecord& record, const StationEvent& e);
void end_watch_record(WatchRecord& record, qint64 end_ms);
