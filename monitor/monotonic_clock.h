#pragma once
// Milliseconds on a clock that never steps: marks, gaps, the press window and
// the hang deadline are timed on it, so a wall-clock step cannot end a hang.

#include <QtGlobal>

qint64 monotonic_now_ms();

// Whole milliseconds from now until monotonic_now_ms() reads past
// deadline_ms, rounded up, so a timer of that length never fires before the
// deadline has been passed; 0 when it has been already.
int ms_until_past(qint64 deadline_ms);
