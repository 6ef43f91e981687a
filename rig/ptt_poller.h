#pragma once
// Reads a rig's PTT every poll_ms on a thread of its own, so that a slow rig
// never delays its owner. Each reading is stamped on the monotonic clock (ms)
// when its request went out: the rig answered with what it was at that time
// or later, so a reading is never dated before what it saw. Readings wait in
// a queue; the owner watches fd() (readable when some wait) and takes them.
// The first failed read is handed over as an error and ends the polling.

#include <QString>
#include <QtGlobal>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

struct RigHandle;

struct PttReading {
    qint64 at_ms = 0;  // monotonic, when the request went out
    bool ok = true;
    bool on = false;
    QString error;     // when !ok
};

// More readings than this waiting means the owner stopped taking them:
// polling stops with one failed reading that says so, so the watch is lost
// rather than judged on what it did not see; the queue's memory stays bounded.
constexpr int PTT_QUEUE_LIMIT = 100000;

struct PttPoller {
    RigHandle* rig = nullptr;
    int poll_ms = 10;
    int wake_fd = -1;              // an eventfd
    std::mutex mutex;              // guards everything below
    std::condition_variable stop_signal;
    bool stopping = false;
    std::vector<PttReading> waiting;
    qint64 let_go = 0;
    std::thread thread;
};

// Starts polling rig (which it then owns) every poll_ms. False with error
// when the thread's wake-up descriptor cannot be made.
bool start_ptt_poller(PttPoller& poller, RigHandle* rig, int poll_ms, QString& error);

// Moves the waiting readings to out (in order) and clears the wake-up.
void take_ptt_readings(PttPoller& poller, std::vector<PttReading>& out);

// Stops the thread (at once, even between polls) and closes the rig.
void stop_ptt_poller(PttPoller& poller);

// The monotonic clock in ms, as the readings are stamped.
qint64 rig_now_ms();
