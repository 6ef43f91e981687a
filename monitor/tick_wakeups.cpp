#include "monitor/tick_wakeups.h"

#include <QSocketNotifier>
#include <QString>
#include <QTextStream>
#include <QTimer>

#include "common/log_line.h"
#include "input/evdev_discovery.h"
#include "input/key_probes.h"
#include "input/terminal_keys.h"
#include "monitor/key_poll_tick.h"
#include "monitor/monotonic_clock.h"

namespace {

void report(TickWakeups& w, const QString& text)
{
    if (w.err)
        write_log_line(*w.err, text);
}

// A notifier must never watch a closed descriptor, nor one that stays ready
// for ever: it is stopped before anything else happens to its descriptor.
void stop_notifier(QSocketNotifier*& notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier->deleteLater();  // we may be inside its own signal
    notifier = nullptr;
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
    report(w, QStringLiteral("  keyboard lost: %1 (%2); the KEY reads as up until a keyboard is found")
                  .arg(QString::fromLocal8Bit(g_evdev_path), QLatin1String(reason)));
    if (w.search_timer)
        w.search_timer->start();
}

// The hang timer is set for the deadline the hold has now: started when one
// is set, moved when it changes, stopped when it is cancelled or released.
void follow_hang_deadline(TickWakeups& w)
{
    if (!w.hang_deadline_ms || !w.hang_timer)
        return;
    const qint64 deadline = *w.hang_deadline_ms;
    if (deadline == w.hang_timer_for)
        return;
    w.hang_timer_for = deadline;
    if (deadline < 0)
        w.hang_timer->stop();
    else
        w.hang_timer->start(ms_until_past(deadline));
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

    // The tick releases once its clock reads past the deadline; the timer
    // wakes it then rather than up to one poll interval later.
    w.hang_timer = new QTimer(context);
    w.hang_timer->setTimerType(Qt::PreciseTimer);
    w.hang_timer->setSingleShot(true);
    QObject::connect(w.hang_timer, &QTimer::timeout, context, [wakeups] {
        wakeups->hang_timer_for = -1;  // set it again should the deadline still lie ahead
        run_tick(*wakeups);
    });

    w.search_timer = new QTimer(context);
    w.search_timer->setInterval(KEYBOARD_SEARCH_INTERVAL_MS);
    QObject::connect(w.search_timer, &QTimer::timeout, context, [wakeups] { search_keyboard(*wakeups); });
}

void run_tick(TickWakeups& w)
{
    key_poll_tick(*w.tick);
    if (g_evdev_gone)
        lose_keyboard(w);
    if (g_stdin_closed)
        stop_notifier(w.terminal);
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
        report(w, QStringLiteral("  keyboard found: %1").arg(QString::fromLocal8Bit(g_evdev_path)));
        watch_keyboard(w);
    }
    if (g_evdev_fd >= 0 && w.search_timer)
        w.search_timer->stop();
}
