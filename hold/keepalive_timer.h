#pragma once
// The keepalive's clock: one interval after start, then every interval, on
// the monotonic clock (a timerfd). The station times the hold out on these
// ticks, so they neither wander nor round their waits to whole milliseconds
// as an event loop's timeout would.

#include <functional>

class QObject;
class QSocketNotifier;

struct KeepaliveTimer {
    int fd = -1;  // -1: no timer could be made (then no keepalive fires)
    QSocketNotifier* notifier = nullptr;
    int interval_ms = 0;
    bool active = false;
};

// Makes the timer, calling on_tick from context's event loop at each expiry.
bool open_keepalive_timer(KeepaliveTimer& t, int interval_ms, QObject* context,
                          std::function<void()> on_tick);
// (Re)starts the rhythm from now.
void start_keepalive_timer(KeepaliveTimer& t);
void stop_keepalive_timer(KeepaliveTimer& t);
// Milliseconds until the next expiry; -1 when stopped.
int keepalive_remaining_ms(const KeepaliveTimer& t);
void close_keepalive_timer(KeepaliveTimer& t);
