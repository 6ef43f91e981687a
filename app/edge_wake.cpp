#include "app/edge_wake.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "input/scheduled_key.h"
#include "input/wake_timer.h"
#include "monitor/key_poll_tick.h"

void connect_edge_wake(EdgeWake& wake, PollTick& tick, QTimer& poll_timer, QCoreApplication& app)
{
    wake.fd = open_wake_timer();
    wake.armed_ms = -1;
    if (wake.fd < 0)
        return;
    wake.notifier = new QSocketNotifier(wake.fd, QSocketNotifier::Read, &app);
    const auto aim = [&wake, &tick] {
        if (!tick.quitting)
            rearm_edge_wake(wake, *tick.scheduled);
    };
    QObject::connect(wake.notifier, &QSocketNotifier::activated, &app, [&wake, &tick, aim] {
        clear_wake_timer(wake.fd);
        wake.armed_ms = -1;
        key_poll_tick(tick);
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
