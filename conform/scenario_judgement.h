#pragma once
// One scenario judged with the watch's own judgement, over what the watch
// recorded: the model's inhibit of the scenario against the samples in its
// window. Pure: the samples are plain records, no thread, no clock.
//
// The outcome: FAIL when the watch found a problem; NOT JUDGED when the
// station was not free yet as the scenario began (what it does then is the
// scenario before's failure), when the watch was lost, when a direction the
// scenario's MUST needs was not seen (the watch's reasons, or being free
// with a rig and no --expect-tx); PASS only otherwise.

#include <QString>
#include <QtGlobal>

#include <vector>

#include "conform/conform_result.h"
#include "watch/watch_judge.h"

struct WatchRecord {
    WatchConfig config;
    bool free_side_watched = true;     // false: a rig without --expect-tx
    std::vector<WatchSample> samples;  // every reading or matching line, in time order
    qint64 lost_at_ms = -1;
    QString lost_text;
};

void judge_window(const WatchRecord& watch, ScenarioResult& result);
