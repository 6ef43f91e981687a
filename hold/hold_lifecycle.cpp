#include "hold/hold_lifecycle.h"

#include "hold/inhibit_sender.h"
#include "hold/keepalive_timer.h"

void start_hold(Hold& hold)
{
    // A mark during the hang continues the same hold: no second HOLD, and
    // the keepalive rhythm is not restarted.
    if (hold.hold_active)
        return;
    hold.hold_active = true;
    send_inhibit(*hold.sender, hold.hold_active, hold.ttl_ms, false, nullptr);
    // The first KEEPALIVE follows the HOLD by one full interval.
    start_keepalive_timer(*hold.keepalive_timer);
}

void release_hold(Hold& hold, const char* note)
{
    hold.hang_deadline_ms = -1;
    if (!hold.hold_active)
        return;
    hold.hold_active = false;
    stop_keepalive_timer(*hold.keepalive_timer);
    send_inhibit(*hold.sender, hold.hold_active, 0, false, note);
}

void keepalive_tick(Hold& hold)
{
    if (!hold.hold_active)
        return;
    send_inhibit(*hold.sender, hold.hold_active, hold.ttl_ms, true, nullptr);
}
