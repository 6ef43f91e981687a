#include "monitor/key_poll_tick.h"

#include "common/bench_event.h"
#include "input/key_probes.h"
#include "input/scheduled_key.h"
#include "input/terminal_keys.h"
#include "monitor/key_line.h"
#include "monitor/keying_monitor.h"
#include "monitor/monotonic_clock.h"

KeySources real_key_sources()
{
    return KeySources{monotonic_now_ms, read_key_levels, poll_stdin_keys};
}

namespace {

struct Sample {
    bool raw = false;
    qint64 at_ms = -1;  // when the level was read; -1: this tick
    bool latch_request = false;
    bool quit = false;
};

// A KEY byte typed into this terminal arms the gate; the device's true level
// then decides how long the press lasts, and a tap too short for any tick to
// see still counts within the press window.
Sample sample_this_terminal(PollTick& t, qint64 now)
{
    Sample s;
    if (g_term_raw)
        t.sources.poll_terminal();
    if (g_stdin_space) {
        t.tty_armed = true;
        t.tty_press_ms = now;
        s.latch_request = g_stdin_latch;
        g_stdin_latch = false;
        g_stdin_space = false;
    }
    if (t.tty_armed) {
        // Inside the press window the KEY is down whatever the device says,
        // so the device is asked only once the window has passed: the first
        // tick of a press goes straight on to its HOLD.
        if (t.tty_press_ms >= 0 && now - t.tty_press_ms <= TTY_PRESS_WINDOW_MS) {
            s.raw = true;
        } else if (t.sources.read_keys().grave) {
            s.raw = true;
        } else {
            t.tty_armed = false;
            t.tty_press_ms = -1;
        }
    }
    if (g_term_raw)
        t.sources.poll_terminal();
    s.quit = g_stdin_quit;
    return s;
}

// The device's levels alone, whatever window has the focus; the terminal
// only contributes its quit bytes. One key-state query answers for grave,
// shift and the quit keys.
Sample sample_system_wide(PollTick& t)
{
    Sample s;
    const KeyLevels keys = t.sources.read_keys();
    s.raw = keys.grave;
    s.latch_request = keys.grave && keys.shift;
    if (keys.quit_keys) {
        s.quit = true;
    } else {
        if (g_term_raw)
            t.sources.poll_terminal();
        s.quit = g_stdin_quit;
    }
    return s;
}

// Once a stall: the keying goes on that much later.
void tell_fell_behind(PollTick& t, qint64 now, qint64 ms)
{
    BenchEvent event = bench_event_at_ms(BenchEventKind::FellBehind, now);
    event.count = ms;
    emit_bench_event(t.events, event);
}

// The scheduled level in place of the device, as in system-wide mode, an
// edge stamped with its own time; the terminal only contributes its quit
// bytes.
Sample sample_scheduled(PollTick& t, qint64 now)
{
    Sample s;
    const bool was_down = t.scheduled->down;
    s.raw = scheduled_level(*t.scheduled, now);
    if (s.raw != was_down)
        s.at_ms = t.scheduled->edge_ms;
    const qint64 behind = take_fell_behind_ms(*t.scheduled);
    if (behind > 0)
        tell_fell_behind(t, now, behind);
    if (g_term_raw)
        t.sources.poll_terminal();
    s.quit = g_stdin_quit;
    return s;
}

// The line's level in place of the device, stamped when it was read.
Sample sample_line(PollTick& t, qint64 now)
{
    Sample s;
    s.raw = read_key_line(*t.line, now, &s.at_ms);
    if (g_term_raw)
        t.sources.poll_terminal();
    s.quit = g_stdin_quit;
    return s;
}

void tell_latch(PollTick& t, bool latched, qint64 now)
{
    BenchEvent event = bench_event_at_ms(BenchEventKind::Latch, now);
    event.level = latched;
    emit_bench_event(t.events, event);
}

// The edge as the KEY source gives it, with the keying's dit estimate so far.
void tell_edge(PollTick& t, bool down, qint64 now)
{
    BenchEvent event = bench_event_at_ms(BenchEventKind::KeyEdge, now);
    event.level = down;
    event.dit_ms = t.monitor->keying.dit_ms;
    emit_bench_event(t.events, event);
}

bool hold_left(const Monitor& m)
{
    return m.key_asserted || (m.hang_deadline_ms && *m.hang_deadline_ms >= 0);
}

}  // namespace

void key_poll_tick(PollTick& t)
{
    if (t.quitting)
        return;
    const qint64 now = t.sources.now_ms();
    t.tick_ms = now;
    const Sample s = t.scheduled  ? sample_scheduled(t, now)
                   : t.line        ? sample_line(t, now)
                   : t.global_keys ? sample_system_wide(t)
                                   : sample_this_terminal(t, now);
    const qint64 edge_ms = s.at_ms >= 0 ? s.at_ms : now;

    // The latch changes only on a rising edge of the raw level; the press
    // that releases it never sets it again.
    if (s.raw && !t.key_down) {
        const bool was_latched = t.latched;
        if (t.latched)
            t.latched = false;
        else if (s.latch_request)
            t.latched = true;
        if (t.latched != was_latched)
            tell_latch(t, t.latched, now);
    }
    t.key_down = s.raw;

    if (s.quit) {
        run_quit_path(t, 0);
        return;
    }

    Monitor& m = *t.monitor;
    if (s.raw || t.latched) {
        if (!m.key_asserted) {
            tell_edge(t, true, edge_ms);
            on_key_assert(m, edge_ms);
        }
        return;
    }
    if (m.key_asserted) {
        tell_edge(t, false, edge_ms);
        on_key_open(m, edge_ms);
    }
    check_hang_expiry(m, now);
    if (t.scheduled && !hold_left(m) && scheduled_key_finished(*t.scheduled, now))
        run_quit_path(t, 0);
}

void run_quit_path(PollTick& t, int exit_status)
{
    if (t.quitting)
        return;
    t.quitting = true;
    if (t.latched)
        tell_latch(t, false, t.sources.now_ms ? t.sources.now_ms() : t.tick_ms);
    t.latched = false;
    Monitor& m = *t.monitor;
    m.hold.release_hold("quit");
    BenchEvent event = bench_event_at_ms(BenchEventKind::Quit, t.tick_ms);
    event.status = exit_status;
    emit_bench_event(t.events, event);
    if (t.end_run)
        t.end_run(exit_status);
}
