#pragma once
// Plays a KeySchedule against the monotonic clock: every edge falls at its
// own absolute time from the start, so a late tick never delays the next one.
// A stall (the process stopped, a starved machine) never merges marks: each
// late edge is still keyed, late, one at a time, and once an edge is more
// than STALL_MS late the rest of the keying follows it that much later, so
// every mark and gap after it keeps its length. The tick asks for the level;
// nothing here allocates.

#include <cstddef>

#include "morse/key_schedule.h"

struct ScheduledKey {
    const KeySchedule* schedule = nullptr;
    qint64 start_ms = 0;  // monotonic ms of the first round's start
    int rounds = 1;       // 0: until quit
    int round = 0;        // round of the next edge
    std::size_t next = 0;  // index of the next edge in its round
    bool down = false;    // the level after every edge passed so far
    qint64 fell_behind_ms = 0;  // the last stall not yet said; 0: none
    // When the last edge passed was keyed: its own time, even if the tick
    // that passed it came a little late; the tick's own time after a stall.
    qint64 edge_ms = -1;
};

// Later than this, an edge is a stall of the keying, not a tick's jitter.
constexpr qint64 STALL_MS = 5;

void start_scheduled_key(ScheduledKey& key, const KeySchedule* schedule, int rounds, qint64 start_ms);

// The level at `now`, passing the next edge if it is due at or before it
// (one edge a call, so that no mark is lost). An edge passed by a tick up
// to STALL_MS late is keyed at its own time (edge_ms): a tick's jitter
// changes no mark or gap of the keying.
bool scheduled_level(ScheduledKey& key, qint64 now);

// How far behind the keying fell at its last stall (once), or 0.
qint64 take_fell_behind_ms(ScheduledKey& key);

// Monotonic ms of the next edge not yet passed; -1 when none is left.
qint64 next_edge_ms(const ScheduledKey& key);

// The last round has run its course (and the KEY is up).
bool scheduled_key_finished(const ScheduledKey& key, qint64 now);
