#include "monitor/keying_monitor.h"

#include <cmath>

#include "common/bench_event.h"

namespace {

constexpr qint32 MIN_HANG_MS = 315;    // 10.5 dits at 40 WPM
constexpr qint32 MAX_HANG_MS = 1260;   // 10.5 dits at 10 WPM
constexpr double NO_DIT_GAP_LIMIT_MS = 500.0;

// Durations are whole ms in 32 bits: the low half of the difference of two times.
qint32 elapsed_ms(qint64 now, qint64 since)
{
    return static_cast<qint32>(static_cast<quint32>(static_cast<quint64>(now - since)));
}

void set_deadline(Monitor& m, qint64 value)
{
    if (m.hang_deadline_ms)
        *m.hang_deadline_ms = value;
}

void tell_key_assert(Monitor& m, qint64 now, KeyClass key_class)
{
    BenchEvent event = bench_event_at_ms(BenchEventKind::KeyAssert, now);
    event.key_class = class_name(key_class);
    emit_bench_event(m.events, event);
}

// The dit estimate (0: none) goes with the open only where a hang runs.
void tell_key_open(Monitor& m, qint64 now, qint32 hang, KeyClass key_class, double dit_ms)
{
    BenchEvent event = bench_event_at_ms(BenchEventKind::KeyOpen, now);
    event.hang_ms = hang;
    event.key_class = class_name(key_class);
    event.dit_ms = dit_ms;
    emit_bench_event(m.events, event);
}

double updated_dit(double dit_ms, KeyClass before, qint32 d)
{
    if (d < LONG_MARK_MS) {
        if (dit_ms <= 0.0)
            return d;                                // the first element seeds it
        if (d < 2.0 * dit_ms)
            return 0.35 * d + 0.65 * dit_ms;
        return dit_ms;                               // a dah or longer
    }
    // A long mark only refines an estimate already set inside break-in keying.
    if (before == BreakIn && dit_ms > 0.0 && d < 2.0 * dit_ms)
        return 0.35 * d + 0.65 * dit_ms;
    return dit_ms;
}

}  // namespace

void reset_keying_state(KeyingState& state)
{
    state = KeyingState{};
}

const char* class_name(KeyClass key_class)
{
    switch (key_class) {
    case BreakIn:
        return "break-in CW";
    case Continuous:
        return "continuous (non-break-in/SSB)";
    case Unknown:
        break;
    }
    return "unknown";
}

qint32 hang_for_dit(double dit_ms)
{
    if (!(dit_ms > 0.0))  // also catches NaN
        return MIN_HANG_MS;
    const double exact = 10.5 * dit_ms;
    // Cap before rounding so a huge estimate cannot overflow the conversion.
    if (exact >= MAX_HANG_MS)
        return MAX_HANG_MS;
    qint32 h = static_cast<qint32>(std::lround(exact));
    if (h < MIN_HANG_MS)
        h = MIN_HANG_MS;
    return h;
}

void on_key_assert(Monitor& m, qint64 now)
{
    KeyingState& k = m.keying;
    m.key_asserted = true;
    set_deadline(m, -1);  // a running hang is cancelled; the hold goes on

    // A press soon after the last release is break-in keying, whatever came before.
    if (k.last_open_ms >= 0) {
        const qint32 g = elapsed_ms(now, k.last_open_ms);
        const double limit = k.dit_ms > 0.0 ? 5.0 * k.dit_ms : NO_DIT_GAP_LIMIT_MS;
        if (g > 0 && static_cast<double>(g) <= limit)
            k.key_class = BreakIn;
        k.last_open_ms = -1;
    }

    k.in_mark = true;
    k.mark_start_ms = now;

    if (m.hold.start_hold)
        m.hold.start_hold();

    tell_key_assert(m, now, k.key_class);
}

void on_key_open(Monitor& m, qint64 now)
{
    KeyingState& k = m.keying;
    m.key_asserted = false;
    const KeyClass before = k.key_class;

    qint32 d = 0;
    if (k.in_mark && k.mark_start_ms >= 0)
        d = elapsed_ms(now, k.mark_start_ms);
    const bool measured = d > 0;

    if (measured)
        k.dit_ms = updated_dit(k.dit_ms, before, d);

    k.in_mark = false;
    k.mark_start_ms = -1;
    k.last_open_ms = now;

    qint32 hang = 0;
    if (before == Continuous) {
        k.key_class = Continuous;
    } else if (before == BreakIn) {
        hang = hang_for_dit(k.dit_ms);  // a long mark does not end break-in
    } else if (measured && d >= LONG_MARK_MS) {
        k.key_class = Continuous;
    } else if (k.dit_ms > 0.0) {
        k.key_class = BreakIn;
        hang = hang_for_dit(k.dit_ms);
    }

    if (m.fixed_hang_set)
        hang = m.fixed_hang_ms > 0 ? m.fixed_hang_ms : 0;

    const KeyClass decided = k.key_class;
    if (hang == 0) {
        if (m.hold.release_hold)
            m.hold.release_hold(class_name(decided));
        reset_keying_state(k);
        tell_key_open(m, now, 0, decided, 0.0);
        return;
    }

    set_deadline(m, now + hang);
    tell_key_open(m, now, hang, decided, k.dit_ms);
}

void check_hang_expiry(Monitor& m, qint64 now)
{
    if (!m.hang_deadline_ms)
        return;
    const qint64 deadline = *m.hang_deadline_ms;
    // Tick times are whole milliseconds cut down from the clock, so a tick
    // stamped with the deadline itself may still be up to 1 ms short of the
    // full hang: release only once the stamp is past it.
    if (deadline < 0 || now <= deadline)
        return;
    end_hang(m);
}

void end_hang(Monitor& m)
{
    if (m.hold.release_hold)
        m.hold.release_hold("hang done / EOT");
    set_deadline(m, -1);  // even if the release left it alone
    reset_keying_state(m.keying);
}
