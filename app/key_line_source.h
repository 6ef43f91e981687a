#pragma once
// What the KEY lines from outside (a serial port, a rig) share once they are
// open: the line the tick reads, what is said when the source is lost and
// found, and the rule that runs after every tick: a source that stopped
// answering while open is let go of, said lost once (the KEY keeps its last
// level), and looked for again until it answers.

#include <functional>

#include <QString>

#include "app/key_line_report.h"
#include "monitor/key_line.h"

class QObject;
struct TickWakeups;

struct KeyLineSource {
    KeyLine line;
    KeyLineReport report;
    TickWakeups* wakeups = nullptr;
    QObject* context = nullptr;  // owns the source's notifiers and timers
    // Set by the source before it is connected:
    std::function<bool()> is_open;    // being read now (not lost, not searched for)
    std::function<QString()> let_go;  // stops reading it; returns why it was lost
    std::function<void()> search;     // starts looking for it again
};

// Has the tick read source.line, and the lost rule run after every tick
// (wakeups.after_tick).
void connect_key_line_source(KeyLineSource& source, TickWakeups& wakeups, QObject* context);

// The source answers again: "KEY source found" (once after a loss), then a
// tick when run_tick is set.
void key_line_source_found(KeyLineSource& source, bool run_tick);
