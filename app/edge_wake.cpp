#include "app/edge_wake.h"

#include <algorithm>

#include "input/scheduled_key.h"

void setup_edge_wake(EdgeWake& wake)
{
    wake.timer.setSingleShot(true);
    wake.timer.setTimerType(Qt::PreciseTimer);
}

void rearm_edge_wake(EdgeWake& wake, const ScheduledKey& key, qint64 now_ms)
{
    const qint64 next = next_edge_ms(key);
    if (next == wake.armed_ms && (next < 0 || wake.timer.isActive()))
        return;
    wake.armed_ms = next;
    if (next < 0) {
        wake.timer.stop();
        return;
    }
    // now_ms is truncated to the ms, so the wake comes at `next` or later.
    wake.timer.start(int(std::min<qint64>(std::max<qint64>(next - now_ms, 0), 24 * 3600 * 1000)));
}
