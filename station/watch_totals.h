#pragma once
// What the summary, the timeline and the JUnit report say of the watch of
// the station under test, filled once when the run ends.

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include "watch/watch_judge.h"

struct WatchTotals {
    bool watching = false;
    bool sides[2] = {false, false};  // the rig, the log: watched
    QString side_what[2];
    QString what;               // "rig 127.0.0.1:4532", ...
    qint64 problems = 0;        // judgements that are problems, and --expect-watch's one
    qint64 counts[WATCH_KINDS] = {};
    qint64 max_tx_stop_ms = -1;
    QStringList not_judged;     // each "rig: ..." or "log: ..."
    bool expect_watch = false;
};
