#pragma once
// What one scenario came to, as the reporters (text, JSON, JUnit, timeline,
// waveform) read it. Times are monotonic milliseconds.

#include <QString>
#include <QtGlobal>

#include <vector>

#include "conform/model.h"

struct Scenario;

enum class Outcome { Pass, Fail, NotJudged };
const char* outcome_label(Outcome outcome);  // "PASS", "FAIL", "NOT JUDGED"
const char* outcome_name(Outcome outcome);   // "pass", "fail", "not_judged"

// One thing the watch found wrong, with its measured offsets.
struct Finding {
    QString kind;          // "tx_while_held", "inhibit_stuck", ...
    qint64 at_ms = -1;     // when it began
    qint64 offset_ms = -1; // from the model's change it goes against
    qint64 lasted_ms = -1; // how long it lasted, where known
    QString text;          // "free 4 ms after a stale RELEASE (seq 7, highest 9)"
};

struct ScenarioResult {
    const Scenario* scenario = nullptr;
    qint64 start_ms = 0;
    qint64 end_ms = 0;
    std::vector<SentRecord> sent;
    std::vector<ModelSpan> model;     // absolute times
    Outcome outcome = Outcome::NotJudged;
    QString text;                     // after the name on the verdict line
    std::vector<Finding> findings;
};

// The station's state as watched: each change of the observed level.
struct ObservedChange {
    qint64 at_ms = 0;
    bool on = false;
};

struct ObservedLane {
    QString name;    // "PTT" or "station says inhibited"
    bool on_means_inhibited = false;  // the log: on is inhibited; the rig: on is transmitting
    bool both_ways = false;           // off is judged too (the log; the rig with --expect-tx)
    qint64 grace_ms = 0;              // react-ms: how long after the model's change the station may take
    std::vector<ObservedChange> changes;
};

struct ConformTally {
    int passed = 0;
    int failed = 0;
    int not_judged = 0;
};
ConformTally tally(const std::vector<ScenarioResult>& results);
