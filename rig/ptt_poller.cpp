#include "rig/ptt_poller.h"

#include <errno.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "rig/hamlib_rig.h"

qint64 rig_now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

// False when the reading could not be kept: polling ends there.
bool hand_over(PttPoller& poller, const PttReading& reading)
{
    bool kept = true;
    {
        std::lock_guard<std::mutex> lock(poller.mutex);
        if (poller.waiting.size() >= size_t(PTT_QUEUE_LIMIT)) {
            // A reading let go is PTT not seen: the watch ends there rather
            // than judge a run with a hole in it.
            if (poller.let_go++ == 0) {
                PttReading lost;
                lost.at_ms = reading.at_ms;
                lost.ok = false;
                lost.error = QStringLiteral("readings came faster than they were taken");
                poller.waiting.push_back(lost);
            }
            kept = false;
        } else {
            poller.waiting.push_back(reading);
        }
    }
    const uint64_t one = 1;
    // The counter only wakes the owner: a full counter needs no more.
    ssize_t written = write(poller.wake_fd, &one, sizeof one);
    (void)written;
    return kept;
}

void poll_loop(PttPoller& poller)
{
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        PttReading reading;
        reading.at_ms = rig_now_ms();
        reading.ok = read_ptt(poller.rig, reading.on, reading.error);
        if (!hand_over(poller, reading) || !reading.ok)
            return;
        // Fixed steps from the start; a late poll skips the steps it missed
        // rather than bunching up behind a slow rig.
        const auto now = std::chrono::steady_clock::now();
        const auto step = std::chrono::milliseconds(poller.poll_ms);
        next += step;
        if (next < now)
            next = now + step - (now - next) % step;
        std::unique_lock<std::mutex> lock(poller.mutex);
        if (poller.stop_signal.wait_until(lock, next, [&] { return poller.stopping; }))
            return;
    }
}

}  // namespace

bool start_ptt_poller(PttPoller& poller, RigHandle* rig, int poll_ms, QString& error)
{
    poller.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (poller.wake_fd < 0) {
        error = QString::fromLocal8Bit(strerror(errno));
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
    uint64_t count = 0;
    ssize_t got = read(poller.wake_fd, &count, sizeof count);
    (void)got;
    std::lock_guard<std::mutex> lock(poller.mutex);
    for (PttReading& r : poller.waiting)
        out.push_back(std::move(r));
    poller.waiting.clear();
}

void stop_ptt_poller(PttPoller& poller)
{
    if (poller.thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(poller.mutex);
            poller.stopping = true;
        }
        poller.stop_signal.notify_all();
        poller.thread.join();
    }
    close_rig(poller.rig);
    poller.rig = nullptr;
    if (poller.wake_fd >= 0)
        close(poller.wake_fd);
    poller.wake_fd = -1;
}
