#include "app/edge_wake.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "input/scheduled_key.h"
#include "input/wake_timer.h"
#include "monitor/key_poll_tick.h"
#include "monitor/tick_wakeups.h"

void connect_edge_wake(EdgeWake& wake, TickWakeups& wakeups, QTimer& poll_timer, QCoreApplication& app)
{
    PollTick& tick = *wakeups.tick;
    wake.fd = open_wake_timer();
    wake.armed_ms = -1;
    if (wake.fd < 0)
        return;
    wake.notifier = new QSocketNotifier(wake.fd, QSocketNotifier::Read, &app);
    const auto aim = [&wake, &tick] {
        if (!tick.quitting)
            rearm_edge_wake(wake, *tick.scheduled);
    };
    QObject::connect(wake.notifier, &QSocketNotifier::activated, &app, [&wake, &wakeups, aim] {
        clear_wake_timer(wake.fd);
        wake.armed_ms = -1;
        run_tick(wakeups);  // an ordinary tick, the hang timer following it
        aim();
    });
    QObject::connect(&poll_timer, &QTimer::timeout, &app, aim);  // after the poll's own tick
    aim();
}

void rearm_edge_wake(EdgeWake& wake, const ScheduledKey& key)
{
    const qint64 next = next_edge_ms(key);
    if (wake.fd < 0 || next == wake.armed_ms)
        return;
    wake.armed_ms = next;
    aim_wake_timer(wake.fd, next);
}

void close_edge_wake(EdgeWake& wake)
{
    delete wake.notifier;
    wake.notifier = nullptr;
    close_wake_timer(wake.fd);
    wake.fd = -1;
}
