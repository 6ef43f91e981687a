#pragma once
// Reads a rig's PTT every poll_ms on a thread of its own, so that a slow rig
// never delays its owner. Each reading is stamped on the monotonic clock (ms)
// when its request went out: the rig answered with what it was at that time
// or later, so a reading is never dated before what it saw. Readings wait in
// a queue; the owner watches queue.wake_fd (readable when some wait) and
// takes them. The first failed read is handed over as an error and ends the
// polling.
//
// A watch judges every reading. A KEY needs only the changes: with
// changes_only the poller hands over the first reading, then only a reading
// whose level differs from the last one handed over (stamped with the first
// poll that saw it) and the failure, so the owner's thread sleeps between
// edges. Every poll still asks the rig either way.

#include <QString>
#include <QtGlobal>

#include "common/thread_handover.h"

#include <thread>

struct RigHandle;

struct PttReading {
    qint64 at_ms = 0;  // monotonic, when the request went out
    qint64 answered_ms = 0;  // monotonic, when the answer came
    bool ok = true;
    bool on = false;
    QString error;     // when !ok
};

// Where a watch places a reading. The rig saw the level at some moment
// between the request and the answer: "off" goes at the request, so a slow
// answer never makes a station that stopped in time look late; "on" at the
// answer, so a transmission that began just after a RELEASE is never blamed
// on the hold.
qint64 watch_time_ms(const PttReading& reading);

// More readings than this waiting means the owner stopped taking them:
// polling stops with one failed reading that says so, so the watch is lost
// rather than judged on what it did not see; the queue's memory stays bounded.
constexpr int PTT_QUEUE_LIMIT = 100000;

struct PttPoller {
    RigHandle* rig = nullptr;
    int poll_ms = 10;
    bool changes_only = false;  // set before start_ptt_poller
    int stop_fd = -1;           // an eventfd: set, the thread ends
    ThreadHandover<PttReading> queue;
    std::thread thread;
};

// Starts polling rig (which it then owns, and closes on failure) every
// poll_ms. False with error when the thread's descriptors cannot be made.
bool start_ptt_poller(PttPoller& poller, RigHandle* rig, int poll_ms, QString& error);

// Moves the waiting readings to out (in order) and clears the wake-up.
void take_ptt_readings(PttPoller& poller, std::vector<PttReading>& out);

// Stops the thread (at once, even between polls) and closes the rig.
void stop_ptt_poller(PttPoller& poller);

// The monotonic clock in ms, as the readings are stamped.
qint64 rig_now_ms();
