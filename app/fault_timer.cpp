#include "app/fault_timer.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>

#include "hold/fault_plan.h"
#include "hold/inhibit_sender.h"
#include "input/wake_timer.h"
#include "monitor/monotonic_clock.h"

namespace {

void aim(FaultTimer& t)
{
    const qint64 due = next_due_ns(*t.sender->faults);
    if (t.fd >= 0) {
        aim_wake_timer_ns(t.fd, due);
    } else if (due < 0) {
        t.fallback->stop();
    } else {
        // Rounded up: a timer that fires early finds nothing due and is aimed again.
        const qint64 wait_ns = std::max<qint64>(0, due - monotonic_now_ns());
        t.fallback->start(static_cast<int>((wait_ns + 999999) / 1000000));
    }
}

void fire(FaultTimer& t)
{
    if (t.fd >= 0)
        clear_wake_timer(t.fd);
    send_due_faults(*t.sender);
    aim(t);
}

}  // namespace

void start_fault_timer(FaultTimer& t, InhibitSender& sender, QCoreApplication& app)
{
    t.sender = &sender;
    t.fd = open_wake_timer();
    if (t.fd >= 0) {
        t.notifier = new QSocketNotifier(t.fd, QSocketNotifier::Read, &app);
        QObject::connect(t.notifier, &QSocketNotifier::activated, &app, [&t] { fire(t); });
    } else {
        t.fallback = new QTimer(&app);
        t.fallback->setSingleShot(true);
        t.fallback->setTimerType(Qt::PreciseTimer);
        QObject::connect(t.fallback, &QTimer::timeout, &app, [&t] { fire(t); });
    }
    sender.faults_queued = [&t] { aim(t); };
}

void finish_fault_timer(FaultTimer& t)
{
    if (t.sender == nullptr)
        return;
    if (t.notifier)
        t.notifier->setEnabled(false);
    if (t.fallback)
        t.fallback->stop();
    t.sender->faults_queued = nullptr;
    release_held_back_fault(*t.sender);
    // The event loop is over: nothing else runs, so waiting here delays nothing.
    for (qint64 due = next_due_ns(*t.sender->faults); due >= 0; due = next_due_ns(*t.sender->faults)) {
        const qint64 wait_ns = due - monotonic_now_ns();
        if (wait_ns > 0)
            QThread::usleep(static_cast<unsigned long>((wait_ns + 999) / 1000));
        send_due_faults(*t.sender);
    }
    close_wake_timer(t.fd);
    t.fd = -1;
}
