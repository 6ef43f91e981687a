#include "app/edge_wake.h"

#include <unistd.h>

#include "input/scheduled_key.h"
#include "input/wake_timer.h"

bool open_edge_wake(EdgeWake& wake)
{
    wake.fd = open_wake_timer();
    wake.armed_ms = -1;
    return wake.fd >= 0;
}

void rearm_edge_wake(EdgeWake& wake, const ScheduledKey& key)
{
    const qint64 next = next_edge_ms(key);
    if (wake.fd < 0 || next == wake.armed_ms)
        return;
    wake.armed_ms = next;
    aim_wake_timer(wake.fd, next);
}

void take_edge_wake(EdgeWake& wake)
{
    clear_wake_timer(wake.fd);
    wake.armed_ms = -1;
}

void close_edge_wake(EdgeWake& wake)
{
    if (wake.fd >= 0)
        ::close(wake.fd);
    wake.fd = -1;
}
