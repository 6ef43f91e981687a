#pragma once
// Milliseconds on a clock that never steps: marks, gaps, the press window and
// the hang deadline are timed on it, so a wall-clock step cannot end a hang.

#include <QtGlobal>

qint64 monotonic_now_ms();
