#pragma once
// Plays a KeySchedule against the monotonic clock: every edge falls at its
// own absolute time from the start, so a late tick never delays the next one.
// The tick asks for the level; nothing here allocates.

#include <cstddef>

#include "morse/key_schedule.h"

struct ScheduledKey {
    const KeySchedule* schedule = nullptr;
    qint64 start_ms = 0;  // monotonic ms of the first round's start
    int rounds = 1;       // 0: until quit
    int round = 0;        // round of the next edge
    std::size_t next = 0;  // index of the next edge in its round
    bool down = false;    // the level after every edge passed so far
};

void start_scheduled_key(ScheduledKey& key, const KeySchedule* schedule, int rounds, qint64 start_ms);

// The level at `now`, passing every edge due at or before it.
bool scheduled_level(ScheduledKey& key, qint64 now);

// Monotonic ms of the next edge not yet passed; -1 when none is left.
qint64 next_edge_ms(const ScheduledKey& key);

// The last round has run its course (and the KEY is up).
bool scheduled_key_finished(const ScheduledKey& key, qint64 now);
