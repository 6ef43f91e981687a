#pragma once
// A one-shot timer on the monotonic clock, aimed at an absolute millisecond
// (timerfd). It never fires before that time, and its descriptor becomes
// readable as the time passes, with no rounding of the wait to whole
// milliseconds as a timeout would have: an edge woken by it is seen in its
// own millisecond.

#include <QtGlobal>

// A non-blocking timer descriptor; -1 when none can be made.
int open_wake_timer();
// Fires at at_ms (monotonic ms, as monotonic_now_ms); a time already past
// fires at once; at_ms < 0 disarms. No allocation.
bool aim_wake_timer(int fd, qint64 at_ms);
// The same, aimed at a nanosecond of that clock; at_ns < 0 disarms.
bool aim_wake_timer_ns(int fd, qint64 at_ns);
// Takes the expiry, so the descriptor stops being readable.
void clear_wake_timer(int fd);
void close_wake_timer(int fd);
