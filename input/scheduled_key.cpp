#include "input/scheduled_key.h"

namespace {

bool rounds_done(const ScheduledKey& k, int round)
{
    return k.rounds > 0 && round >= k.rounds;
}

}  // namespace

void start_scheduled_key(ScheduledKey& key, const KeySchedule* schedule, int rounds, qint64 start_ms)
{
    key = ScheduledKey{};
    key.schedule = schedule;
    key.rounds = rounds;
    key.start_ms = start_ms;
}

qint64 next_edge_ms(const ScheduledKey& k)
{
    const KeySchedule& s = *k.schedule;
    if (s.edges.empty() || rounds_done(k, k.round))
        return -1;
    return k.start_ms + schedule_ms(s, qint64(k.round) * s.round_units + s.edges[k.next].at);
}

bool scheduled_level(ScheduledKey& k, qint64 now)
{
    const qint64 at = next_edge_ms(k);
    if (at < 0 || at > now)
        return k.down;
    k.edge_ms = at;
    if (now - at > STALL_MS) {
        // Keyed late: what follows keeps its timing from here.
        k.start_ms += now - at;
        k.fell_behind_ms = now - at;
        k.edge_ms = now;
    }
    k.down = k.schedule->edges[k.next].down;
    if (++k.next == k.schedule->edges.size()) {
        k.next = 0;
        ++k.round;
    }
    return k.down;
}

qint64 take_fell_behind_ms(ScheduledKey& k)
{
    const qint64 ms = k.fell_behind_ms;
    k.fell_behind_ms = 0;
    return ms;
}

bool scheduled_key_finished(const ScheduledKey& k, qint64 now)
{
    if (k.rounds <= 0 || k.down || next_edge_ms(k) >= 0)
        return false;
    const KeySchedule& s = *k.schedule;
    return now >= k.start_ms + schedule_ms(s, qint64(k.rounds - 1) * s.round_units + s.end_units);
}
