#include "hold/hold_lifecycle.h"

#include <QTimer>

#include "hold/inhibit_sender.h"

void configure_keepalive_timer(QTimer& timer)
{
    timer.setInterval(KEEPALIVE_INTERVAL_MS);
    // A coarse timer may fire up to 5% late and wander; the station times
    // the hold out on these ticks.
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(false);
}

void start_hold(Hold& hold)
{
    // A mark during the hang continues the same hold: no second HOLD, and
    // the keepalive rhythm is not restarted.
    if (hold.hold_active)
        return;
    hold.hold_active = true;
    send_inhibit(*hold.sender, hold.hold_active, hold.ttl_ms, false, nullptr);
    // The first KEEPALIVE follows the HOLD by one full interval.
    hold.keepalive_timer->start();
}

void release_hold(Hold& hold, const char* note)
{
    hold.hang_deadline_ms = -1;
    if (!hold.hold_active)
        return;
    hold.hold_active = false;
    hold.keepalive_timer->stop();
    send_inhibit(*hold.sender, hold.hold_active, 0, false, note);
}

void keepalive_tick(Hold& hold)
{
    if (!hold.hold_active)
        return;
    send_inhibit(*hold.sender, hold.hold_active, hold.ttl_ms, true, nullptr);
}
