#pragma once
// Sends the datagrams a fault holds up (delay) when they fall due: its own
// timer on the monotonic clock, aimed at the next one's millisecond, so they
// go out on time and never wait for the 5 ms poll or hold up the keepalive.

class QCoreApplication;
class QSocketNotifier;
class QTimer;
struct InhibitSender;

struct FaultTimer {
    int fd = -1;  // timerfd; -1: a precise QTimer stands in
    QSocketNotifier* notifier = nullptr;
    QTimer* fallback = nullptr;
    InhibitSender* sender = nullptr;
};

// Has the sender aim the timer whenever a delayed datagram waits.
void start_fault_timer(FaultTimer& timer, InhibitSender& sender, QCoreApplication& app);

// After the event loop: a held-back datagram goes out, and what is still
// delayed goes out when it is due (the run waits for it: a delay never loses
// a datagram).
void finish_fault_timer(FaultTimer& timer);
