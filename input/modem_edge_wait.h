#pragma once
// Wakes the owner at each edge of a modem-status line: a thread of its own
// blocks in TIOCMIWAIT on a second descriptor of the port and makes an
// eventfd readable after each edge. The tick still reads the level itself,
// so a wake-up that is missed (a driver without TIOCMIWAIT) costs at most
// one poll.

#include <QByteArray>
#include <atomic>
#include <memory>
#include <thread>

// What the thread shares with its owner; it outlives the owner's handle if
// the thread has to be let go still blocked.
struct EdgeWaitShared {
    int event_fd = -1;  // readable after an edge, or once the wait has ended
    int wait_fd = -1;   // the port as the thread holds it
    int mask = 0;
    std::atomic<bool> stopping{false};
    std::atomic<bool> ended{false};
};

struct ModemEdgeWait {
    std::shared_ptr<EdgeWaitShared> shared;
    std::thread thread;
    int event_fd() const { return shared ? shared->event_fd : -1; }
};

// Opens the port once more and starts the waiting thread. False (nothing
// started) when either cannot be made; edges then wait for the poll.
bool start_modem_edge_wait(ModemEdgeWait& wait, const QByteArray& device, int mask);

// Empties the eventfd after its wake-up.
void clear_modem_edge_wake(const ModemEdgeWait& wait);

// Ends the thread (a signal interrupts its wait) and closes what it holds.
void stop_modem_edge_wait(ModemEdgeWait& wait);
