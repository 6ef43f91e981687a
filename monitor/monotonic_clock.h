#pragma once
// Milliseconds on a clock that never steps: marks, gaps, the press window and
// the hang deadline are timed on it, so a wall-clock step cannot end a hang.

#include <QtGlobal>

qint64 monotonic_now_ms();

// The same clock in nanoseconds: the hang's own deadline is kept this finely,
// so whole-millisecond stamps cost it nothing.
qint64 monotonic_now_ns();
