#pragma once
// The deciding half of the KEYing monitor: times marks and gaps, keeps the
// dit estimate, classifies the keying and decides the hang.

#include <functional>
#include <QtGlobal>

struct BenchEvents;

// From idle, a mark this long is not a Morse element but continuous keying.
constexpr qint32 LONG_MARK_MS = 500;

enum KeyClass : qint32 { Unknown = 0, BreakIn = 1, Continuous = 2 };

struct KeyingState {
    KeyClass key_class = Unknown;
    double dit_ms = 0.0;        // 0: no estimate
    bool in_mark = false;
    qint64 mark_start_ms = -1;  // -1: none
    qint64 last_open_ms = -1;   // -1: none
};

void reset_keying_state(KeyingState& state);
const char* class_name(KeyClass key_class);
// 1.5 word gaps (10.5 dits), bounded to 315..1260; 315 without an estimate.
qint32 hang_for_dit(double dit_ms);

// How the monitor opens and closes holds; the real hold in the program, a
// recording stand-in in tests.
struct HoldOps {
    std::function<void()> start_hold;
    std::function<void(const char* note)> release_hold;
};

struct Monitor {
    KeyingState keying;
    bool key_asserted = false;
    qint64* hang_deadline_ms = nullptr;  // the hold's deadline, shared with release_hold
    bool fixed_hang_set = false;
    qint32 fixed_hang_ms = 0;
    BenchEvents* events = nullptr;  // key_assert and key_open
    HoldOps hold;
};

void on_key_assert(Monitor& m, qint64 now);
void on_key_open(Monitor& m, qint64 now);
void check_hang_expiry(Monitor& m, qint64 now);
// The hang has run out: the hold is released and the keying forgotten.
void end_hang(Monitor& m);
