#include "app/rig_key.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include <QObject>
#include <QSocketNotifier>

#include "app/agent_options.h"
#include "common/thread_handover.h"
#include "monitor/tick_wakeups.h"
#include "rig/hamlib_rig.h"

// Opening the rig again after a loss, on a thread of its own: hamlib's open
// may wait for a TCP connect or a CAT answer. The lost poller is stopped
// there too, since closing a rig may wait as well.
struct RigReopen {
    RigAddress address;
    std::unique_ptr<PttPoller> lost;
    int wake_fd = -1;  // readable once the rig is open again
    std::mutex mutex;  // guards what follows
    std::condition_variable stop_signal;
    bool stopping = false;
    RigHandle* opened = nullptr;
    std::thread thread;

    ~RigReopen() { close_wake_fd(wake_fd); }
};

namespace {

void reopen_loop(std::shared_ptr<RigReopen> r)
{
    if (r->lost)
        stop_ptt_poller(*r->lost);
    for (;;) {
        QString error;
        RigHandle* rig = open_rig(r->address, error);
        std::unique_lock<std::mutex> lock(r->mutex);
        if (rig && r->stopping) {
            lock.unlock();
            close_rig(rig);
            return;
        }
        if (rig) {
            r->opened = rig;
            set_wake_fd(r->wake_fd);
            return;
        }
        if (r->stop_signal.wait_for(lock, std::chrono::milliseconds(RIG_REOPEN_INTERVAL_MS),
                                    [&] { return r->stopping; }))
            return;
    }
}

// Ends the reopening. A thread still inside hamlib's open is let go: it
// closes what it opens once it sees it is not wanted.
void end_reopen(RigKey& k)
{
    stop_notifier(k.reopen_notifier);
    if (!k.reopen)
        return;
    std::shared_ptr<RigReopen> r = k.reopen;
    k.reopen.reset();
    RigHandle* opened = nullptr;
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->stopping = true;
        opened = r->opened;
        r->opened = nullptr;
    }
    r->stop_signal.notify_all();
    r->thread.detach();
    close_rig(opened);
    // The wake-up descriptor goes with the last owner of r.
}

void take_readings(RigKey& k);

void watch_readings(RigKey& k)
{
    QObject* context = k.source.context;
    k.readings_notifier = new QSocketNotifier(k.poller->queue.wake_fd, QSocketNotifier::Read, context);
    RigKey* key = &k;
    QObject::connect(k.readings_notifier, &QSocketNotifier::activated, context, [key] { take_readings(*key); });
}

bool start_polling(RigKey& k, RigHandle* rig, QString* error)
{
    auto poller = std::make_unique<PttPoller>();
    poller->changes_only = true;  // the tick needs the edges only
    if (!start_ptt_poller(*poller, rig, k.poll_ms, *error))
        return false;
    k.poller = std::move(poller);
    k.taken.reserve(64);
    if (k.source.context)
        watch_readings(k);
    return true;
}

void rig_opened_again(RigKey& k)
{
    RigHandle* rig = nullptr;
    if (k.reopen) {
        std::lock_guard<std::mutex> lock(k.reopen->mutex);
        rig = k.reopen->opened;
        k.reopen->opened = nullptr;
    }
    end_reopen(k);
    QString error;
    if (rig && !start_polling(k, rig, &error))
        k.lost_reason = error;
    // Found once it answers: with the poller's first good reading.
}

void start_reopen(RigKey& k)
{
    auto r = std::make_shared<RigReopen>();
    r->address = k.address;
    r->lost = std::move(k.poller);
    QString error;
    k.reopen = r;
    if (open_wake_fd(r->wake_fd, error) && k.source.context) {
        QObject* context = k.source.context;
        k.reopen_notifier = new QSocketNotifier(r->wake_fd, QSocketNotifier::Read, context);
        RigKey* key = &k;
        QObject::connect(k.reopen_notifier, &QSocketNotifier::activated, context,
                         [key] { rig_opened_again(*key); });
    }
    r->thread = std::thread(reopen_loop, r);
}

void take_readings(RigKey& k)
{
    if (!k.poller)
        return;
    k.taken.clear();
    take_ptt_readings(*k.poller, k.taken);
    for (const PttReading& r : k.taken) {
        const bool was_lost = !k.latest.answered;
        const bool was_level = k.latest.level;
        k.latest.answered = r.ok;
        if (r.ok) {
            k.latest.level = r.on;
            k.latest.at_ms = r.at_ms;
        } else {
            k.lost_reason = r.error;
        }
        // Found before what the answer changes; each change goes to the
        // tick in order, stamped with the first poll that saw it.
        const bool changed = was_lost != !r.ok || (r.ok && r.on != was_level);
        if (r.ok)
            key_line_source_found(k.source, changed);
        else if (changed)
            run_tick(*k.source.wakeups);
        if (!r.ok)
            break;  // the poller has stopped
    }
}

}  // namespace

bool open_rig_key(RigKey& k, const AgentOptions& o, QString* error)
{
    QString why;
    parse_rig_address(o.key_rig, k.address, why);  // checked with the options
    k.poll_ms = o.rig_poll_ms;
    RigHandle* rig = open_rig(k.address, why);
    if (!rig || !start_polling(k, rig, &why)) {
        *error = QStringLiteral("keyline-bench: --key-rig %1: cannot open the rig: %2").arg(o.key_rig, why);
        return false;
    }
    k.source.report.source = o.key_rig;
    k.source.report.until = "the rig answers";
    // Up until the first reading says otherwise.
    k.latest.answered = true;
    RigKey* key = &k;
    k.source.line.read = [key](qint64) { return key->latest; };
    k.source.is_open = [key] { return key->poller != nullptr; };
    k.source.let_go = [key] {
        stop_notifier(key->readings_notifier);
        return key->lost_reason;
    };
    k.source.search = [key] { start_reopen(*key); };
    return true;
}

void connect_rig_key(RigKey& k, TickWakeups& wakeups, QObject* context)
{
    connect_key_line_source(k.source, wakeups, context);
    watch_readings(k);
}

void close_rig_key(RigKey& k)
{
    stop_notifier(k.readings_notifier);
    end_reopen(k);
    if (k.poller)
        stop_ptt_poller(*k.poller);
    k.poller.reset();
}
