#pragma once
// Wakes the poll tick at each scheduled edge of a keyboard-less source, so
// the edge reaches the monitor in its own millisecond rather than at the
// next 5 ms poll. Each wake is aimed at the edge's absolute time on the
// monotonic clock: it never comes early, and a late one never delays the
// next edge.

#include <QtGlobal>

class QCoreApplication;
class QSocketNotifier;
class QTimer;
struct ScheduledKey;
struct TickWakeups;

struct EdgeWake {
    int fd = -1;           // the wake timer; -1: none (edges wait for the poll)
    qint64 armed_ms = -1;  // the edge it is aimed at; -1: none
    QSocketNotifier* notifier = nullptr;
};

// Opens the wake timer and has it run the tick (of `wakeups.tick->scheduled`);
// the poll timer's ticks re-aim it too. Without a timer the edges are seen
// by the 5 ms poll alone.
void connect_edge_wake(EdgeWake& wake, TickWakeups& wakeups, QTimer& poll_timer, QCoreApplication& app);

// Aims the timer at the key's next edge; a tick that passed no edge finds
// it aimed already. With no edge left it is disarmed.
void rearm_edge_wake(EdgeWake& wake, const ScheduledKey& key);

void close_edge_wake(EdgeWake& wake);
