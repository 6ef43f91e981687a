#include "monitor/tick_wakeups.h"

#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include "common/bench_event.h"
#include "input/evdev_discovery.h"
#include "input/key_probes.h"
#include "input/terminal_keys.h"
#include "input/wake_timer.h"
#include "monitor/key_poll_tick.h"
#include "monitor/keying_monitor.h"
#include "monitor/monotonic_clock.h"

namespace {

void tell_keyboard(TickWakeups& w, BenchEventKind kind, const char* reason)
{
    BenchEvent event = bench_event_at_ns(kind, monotonic_now_ns());
    event.path = QString::fromLocal8Bit(g_evdev_path);
    if (reason)
        event.text = QLatin1String(reason);
    emit_bench_event(w.events, event);
}

void watch_keyboard(TickWakeups& w)
{
    if (g_evdev_fd < 0 || !w.context)
        return;
    w.keyboard = new QSocketNotifier(g_evdev_fd, QSocketNotifier::Read, w.context);
    TickWakeups* wakeups = &w;
    QObject::connect(w.keyboard, &QSocketNotifier::activated, w.context,
                     [wakeups] { keyboard_woke(*wakeups); });
}

void lose_keyboard(TickWakeups& w)
{
    const char* reason = g_evdev_gone;
    stop_notifier(w.keyboard);
    close_evdev_keyboard();
    tell_keyboard(w, BenchEventKind::KeyboardLost, reason);
    if (w.search_timer)
        w.search_timer->start();
}

// The hang timer is set for the deadline the hold has now: started when one
// is set, moved when it changes, stopped when it is cancelled or released.
// Stamps are whole milliseconds cut down from the clock, so a deadline in
// them may lie up to 1 ms before the full hang; the timer is aimed instead at
// the full hang from a clock read after the tick that saw the open, which is
// never before the edge itself.
void follow_hang_deadline(TickWakeups& w)
{
    if (!w.hang_deadline_ms || w.hang_timer < 0)
        return;
    const qint64 deadline = *w.hang_deadline_ms;
    if (deadline == w.hang_timer_for)
        return;
    w.hang_timer_for = deadline;
    if (deadline < 0) {
        w.hang_at_ns = -1;
    } else {
        const qint64 hang_ms = w.tick->tick_ms >= 0 ? deadline - w.tick->tick_ms : 0;
        w.hang_at_ns = monotonic_now_ns() + (hang_ms > 0 ? hang_ms : 0) * 1000000;
    }
    aim_wake_timer_ns(w.hang_timer, w.hang_at_ns);
}

// The hang timer fired: an ordinary tick first (it may see a new mark, which
// cancels the hang), then the release once the full hang has run.
void hang_timer_fired(TickWakeups& w)
{
    clear_wake_timer(w.hang_timer);
    run_tick(w);
    if (w.tick->quitting || w.hang_at_ns < 0 || *w.hang_deadline_ms != w.hang_timer_for)
        return;
    if (monotonic_now_ns() < w.hang_at_ns) {
        aim_wake_timer_ns(w.hang_timer, w.hang_at_ns);
        return;
    }
    end_hang(*w.tick->monitor);
    follow_hang_deadline(w);
}

}  // namespace

void start_tick_wakeups(TickWakeups& w, QObject* context)
{
    w.context = context;
    TickWakeups* wakeups = &w;

    watch_keyboard(w);

    if (g_term_raw && !g_stdin_closed) {
        w.terminal = new QSocketNotifier(0, QSocketNotifier::Read, context);
        QObject::connect(w.terminal, &QSocketNotifier::activated, context, [wakeups] { run_tick(*wakeups); });
    }

    // The hang's release at the end of the full hang rather than at the next
    // poll; without a timer the poll alone releases, at most 5 ms later.
    w.hang_timer = open_wake_timer();
    if (w.hang_timer >= 0) {
        w.hang_notifier = new QSocketNotifier(w.hang_timer, QSocketNotifier::Read, context);
        QObject::connect(w.hang_notifier, &QSocketNotifier::activated, context,
                         [wakeups] { hang_timer_fired(*wakeups); });
    }

    w.search_timer = new QTimer(context);
    w.search_timer->setInterval(KEYBOARD_SEARCH_INTERVAL_MS);
    QObject::connect(w.search_timer, &QTimer::timeout, context, [wakeups] { search_keyboard(*wakeups); });
}

void close_tick_wakeups(TickWakeups& w)
{
    stop_notifier(w.hang_notifier);
    close_wake_timer(w.hang_timer);
    w.hang_timer = -1;
}

void run_tick(TickWakeups& w)
{
    key_poll_tick(*w.tick);
    if (g_evdev_gone)
        lose_keyboard(w);
    if (g_stdin_closed)
        stop_notifier(w.terminal);
    if (w.after_tick)
        w.after_tick();
    follow_hang_deadline(w);
}

void keyboard_woke(TickWakeups& w)
{
    // The tick first: the kernel updates the key state before it queues the
    // records, so the edge goes out without waiting for the read.
    run_tick(w);
    if (g_evdev_fd < 0)
        return;  // lost in that tick
    drain_keyboard_events();
    if (g_evdev_gone)
        lose_keyboard(w);
}

void search_keyboard(TickWakeups& w)
{
    if (g_evdev_fd < 0 && open_evdev_keyboard()) {
        // A device that is gone again at once is not announced: it would
        // come and go every second.
        uint64_t word = 0;
        if (!query_key_state_word(&word) && g_evdev_gone) {
            close_evdev_keyboard();
            return;
        }
        tell_keyboard(w, BenchEventKind::KeyboardFound, nullptr);
        watch_keyboard(w);
    }
    if (g_evdev_fd >= 0 && w.search_timer)
        w.search_timer->stop();
}

void stop_notifier(QSocketNotifier*& notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier->deleteLater();  // we may be inside its own signal
    notifier = nullptr;
}
