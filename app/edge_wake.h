#pragma once
// Wakes the poll tick at each scheduled edge of a keyboard-less source, so
// the edge reaches the monitor at its own time rather than at the next 5 ms
// poll. Each wake is aimed at the edge's absolute time on the monotonic
// clock: a late wake-up never delays the next edge, and a precise Qt timer
// never fires before its time.

#include <QTimer>

struct ScheduledKey;

struct EdgeWake {
    QTimer timer;           // precise, single shot
    qint64 armed_ms = -1;   // the edge it is aimed at; -1: none
};

void setup_edge_wake(EdgeWake& wake);

// Aims the timer at the key's next edge. A tick that passed no edge finds it
// aimed already and leaves it alone; with no edge left it is stopped.
void rearm_edge_wake(EdgeWake& wake, const ScheduledKey& key, qint64 now_ms);
