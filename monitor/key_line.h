#pragma once
// A KEY read from outside this machine's keyboard: a serial port's
// modem-status line, or a transmitter's PTT read from its rig. The tick
// reads it once per run; a source that stops answering leaves the KEY at
// its last level, because the transmitter may still be on the air.

#include <functional>
#include <QtGlobal>

// One reading of the source.
struct LineReading {
    bool answered = false;  // false: the source did not answer (gone, timed out)
    bool level = false;     // the KEY, when answered
    qint64 at_ms = -1;      // when the level was read (a rig's poll); -1: now
};

struct KeyLine {
    // Never blocks and allocates nothing: the tick calls it.
    std::function<LineReading(qint64 now_ms)> read;
    bool level = false;  // the last level read; kept while lost
    bool lost = false;   // the latest reading did not answer
    qint64 at_ms = -1;   // when the last level was read
};

// Reads the line into its state; returns the KEY and, in *at_ms, the time its
// level was read: a poll's own time, which may lie some ticks back when the
// rig was slow to answer it, never before the reading before it.
bool read_key_line(KeyLine& line, qint64 now_ms, qint64* at_ms);
