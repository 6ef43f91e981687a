#pragma once
// What runs the key poll tick besides its 5 ms timer, and what follows each
// tick. The keyboard's device and the terminal becoming readable run the
// tick at once; the hang's deadline runs it at the deadline itself; a
// keyboard that went away is closed, reported and looked for again every
// second until one is found.

#include <functional>
#include <QtGlobal>

class QObject;
class QSocketNotifier;
class QTimer;
struct BenchEvents;
struct PollTick;

constexpr int KEYBOARD_SEARCH_INTERVAL_MS = 1000;

struct TickWakeups {
    PollTick* tick = nullptr;
    const qint64* hang_deadline_ms = nullptr;  // the hold's deadline; -1: none
    BenchEvents* events = nullptr;             // keyboard_lost and keyboard_found
    // Runs after every tick (a KEY line's lost/found); may be empty.
    std::function<void()> after_tick;
    // Made by start_tick_wakeups, owned by its context object:
    QObject* context = nullptr;
    QSocketNotifier* keyboard = nullptr;  // on g_evdev_fd; null while no keyboard is open
    QSocketNotifier* terminal = nullptr;  // on standard input; null unless raw and still open
    int hang_timer = -1;                  // one shot on the monotonic clock (timerfd); -1: none
    QSocketNotifier* hang_notifier = nullptr;
    qint64 hang_timer_for = -1;           // the deadline (ms) it was set for; -1: none
    qint64 hang_at_ns = -1;               // the full hang from the open, to the nanosecond
    QTimer* search_timer = nullptr;       // runs while no keyboard is open
};

// Creates the notifiers and timers as children of context. The notifiers
// are made only for what is open now: the keyboard (g_evdev_fd) and the raw
// terminal (g_term_raw).
void start_tick_wakeups(TickWakeups& w, QObject* context);
// Closes the hang timer's descriptor.
void close_tick_wakeups(TickWakeups& w);

// One tick, then what follows it: a lost keyboard is let go, a closed
// terminal stops waking the tick, and the hang timer follows the deadline.
// Allocates nothing unless one of these changes.
void run_tick(TickWakeups& w);

// The keyboard's device became readable: a tick, then every pending event
// record is read, so that the descriptor stops being readable.
void keyboard_woke(TickWakeups& w);

// One pass of the same discovery as at start-up, while no keyboard is open.
// Silent when nothing is found.
void search_keyboard(TickWakeups& w);

// A notifier must never watch a closed descriptor, nor one that stays ready
// for ever: it is stopped (and deleted later) before anything else happens
// to its descriptor, and set to null. Safe inside its own signal.
void stop_notifier(QSocketNotifier*& notifier);
