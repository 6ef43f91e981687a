#pragma once
// The 5 ms heartbeat: samples the KEY, toggles the latch, handles quit and
// hands the KEY's edges to the monitor.

#include <functional>
#include <QtGlobal>

#include "input/key_probes.h"

struct BenchEvents;
struct KeyLine;
struct Monitor;
struct ScheduledKey;

constexpr int KEY_POLL_INTERVAL_MS = 5;
// A KEY byte keeps the KEY pressed this long even if the device never shows it down.
constexpr qint64 TTY_PRESS_WINDOW_MS = 24;

// Where the tick reads the time and the keys; the real clock, key-state
// query and terminal reader in the program, fakes in tests.
struct KeySources {
    qint64 (*now_ms)();
    // One snapshot of grave, shift, Esc and Q, taken at most once per tick
    // and only when the tick needs the device; a failed query reads all up.
    KeyLevels (*read_keys)();
    void (*poll_terminal)();  // called only while g_term_raw
};
KeySources real_key_sources();

struct PollTick {
    bool global_keys = false;
    bool tty_armed = false;
    qint64 tty_press_ms = -1;
    bool key_down = false;
    bool latched = false;
    Monitor* monitor = nullptr;
    KeySources sources{};
    // A KEY source that needs no keyboard (Morse text, key script), sampled
    // as in system-wide mode; the run quits once it is over and no hold is
    // left. Null: the keyboard.
    ScheduledKey* scheduled = nullptr;
    // A KEY line beyond the keyboard (a serial modem line, a rig's PTT),
    // sampled as in system-wide mode with edges stamped when the line was
    // read; the terminal only quits. Null: the keyboard or the schedule.
    KeyLine* line = nullptr;
    // Told of every edge handed to the monitor (key_edge), every change of
    // the latch (latch) and the quit (quit); null: nobody listens.
    BenchEvents* events = nullptr;
    bool quitting = false;
    qint64 tick_ms = -1;  // the clock of the latest tick: what its edges were stamped with
    // Restores the terminal and asks the event loop to quit with this status.
    std::function<void(int exit_status)> end_run;
};

// One tick. Never blocks; allocates nothing unless an edge writes a line.
void key_poll_tick(PollTick& tick);

// Latch off, release the hold ("quit"), the quit event, terminal restored,
// event loop asked to end with exit_status. A second call does nothing.
void run_quit_path(PollTick& tick, int exit_status);
