#include "rig/ptt_poller.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

#include "rig/hamlib_rig.h"

namespace {

qint64 now_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

enum class Slept { Due, Stop, Failed };

// Sleeps until the monotonic deadline_ns, or until asked to stop. One system
// call: a condition variable's timed wait costs two (the wait and the
// mutex's wake-up), at a hundred polls a second.
Slept sleep_until(const PttPoller& poller, qint64 deadline_ns)
{
    for (;;) {
        const qint64 left = deadline_ns - now_ns();
        if (left <= 0)
            return Slept::Due;
        const timespec timeout = {time_t(left / 1000000000), long(left % 1000000000)};
        pollfd stop = {poller.stop_fd, POLLIN, 0};
        const int ready = ppoll(&stop, 1, &timeout, nullptr);
        if (ready > 0)
            return Slept::Stop;
        if (ready < 0 && errno != EINTR)
            return Slept::Failed;
    }
}

PttReading queue_full(const PttReading& reading)
{
    // A reading let go is PTT not seen: the watch ends there rather than
    // judge a run with a hole in it.
    PttReading lost;
    lost.at_ms = reading.at_ms;
    lost.answered_ms = reading.answered_ms;
    lost.ok = false;
    lost.error = QStringLiteral("readings came faster than they were taken");
    return lost;
}

void poll_loop(PttPoller& poller)
{
    const qint64 step = qint64(poller.poll_ms) * 1000000;
    qint64 next = now_ns();
    bool handed = false;  // a reading has been handed over
    bool handed_on = false;
    for (;;) {
        PttReading reading;
        reading.at_ms = rig_now_ms();
        reading.ok = read_ptt(poller.rig, reading.on, reading.error);
        reading.answered_ms = rig_now_ms();
        const bool ok = reading.ok;
        if (!ok || !poller.changes_only || !handed || reading.on != handed_on) {
            handed = true;
            handed_on = reading.on;
            if (!hand_over(poller.queue, std::move(reading), size_t(PTT_QUEUE_LIMIT), queue_full) || !ok)
                return;
        }
        // Fixed steps from the start; a late poll skips the steps it missed
        // rather than bunching up behind a slow rig.
        const qint64 now = now_ns();
        next += step;
        if (next < now)
            next = now + step - (now - next) % step;
        const Slept slept = sleep_until(poller, next);
        if (slept == Slept::Stop)
            return;
        if (slept == Slept::Failed) {
            // Polling ends here: the owner must hear it, not wait for ever.
            const int error = errno;
            PttReading failed;
            failed.at_ms = failed.answered_ms = rig_now_ms();
            failed.ok = false;
            failed.error = QStringLiteral("cannot wait for the next poll: %1")
                               .arg(QString::fromLocal8Bit(strerror(error)));
            hand_over(poller.queue, std::move(failed), size_t(PTT_QUEUE_LIMIT), queue_full);
            return;
        }
    }
}

}  // namespace

qint64 watch_time_ms(const PttReading& reading)
{
    return reading.on ? reading.answered_ms : reading.at_ms;
}

qint64 rig_now_ms()
{
    return now_ns() / 1000000;
}

bool start_ptt_poller(PttPoller& poller, RigHandle* rig, int poll_ms, QString& error)
{
    if (!open_wake_fd(poller.queue.wake_fd, error) || !open_wake_fd(poller.stop_fd, error)) {
        close_wake_fd(poller.queue.wake_fd);
        close_rig(rig);
        return false;
    }
    poller.rig = rig;
    poller.poll_ms = poll_ms;
    poller.thread = std::thread(poll_loop, std::ref(poller));
    return true;
}

void take_ptt_readings(PttPoller& poller, std::vector<PttReading>& out)
{
    take_handed_over(poller.queue, out);
}

void stop_ptt_poller(PttPoller& poller)
{
    if (poller.thread.joinable()) {
        set_wake_fd(poller.stop_fd);
        poller.thread.join();
    }
    close_rig(poller.rig);
    poller.rig = nullptr;
    close_wake_fd(poller.queue.wake_fd);
    close_wake_fd(poller.stop_fd);
}
