#pragma once
// keyline-bench's event stream. The KEY source, the KEYing monitor, the hold
// and the faults say what happened as plain BenchEvents; the reporters (text
// log, JSON lines, waveform, recording, decoder) hang off the stream and
// never reach back. Events are handed to every sink at once, in the tick
// that emits them, so the order of the lines is the order of the events.
// Nothing here allocates.

#include <QString>
#include <QtGlobal>

#include "common/fault_action.h"
#include "common/inhibit_kind.h"

enum class BenchEventKind {
    Start,           // text: the banner; json: the start line's own fields
    KeyEdge,         // the KEY source's level (level), dit_ms: the keying's estimate before it
    KeyAssert,       // key_class
    KeyOpen,         // hang_ms, key_class, dit_ms (0: none)
    Latch,           // level
    HoldSent,        // built, counted and sent (or given to the faults): seq, ttl_ms, counts, to
    KeepaliveSent,
    ReleaseSent,     // note: why the hold ended
    DatagramOut,     // a datagram left the socket (sent) or was refused, after the faults;
                     // datagram, hold_active: the hold after it; t_ns read just before the send
    SendFailed,      // to (empty: the only destination), text: the socket's error
    DatagramTold,    // datagram, note: every event the datagram brought (faults, sends) was emitted
    Fault,           // fault
    FaultCounts,     // counts: at the end of a run with faults
    KeyboardLost,    // path, text: the reason
    KeyboardFound,   // path
    KeySourceLost,   // path: the source as the user named it, text: the reason,
                     // note: what brings it back
    KeySourceFound,  // path
    OutputDropped,   // count: lines the output could not take
    FellBehind,      // count: ms the keyless source's keying goes on later, once a stall
    Decoded,         // text: "DECODED  ..."
    Quit,            // status
};

struct BenchEvent {
    BenchEventKind kind = BenchEventKind::Start;
    qint64 t_ns = 0;  // the monotonic clock
    bool level = false;
    const char* key_class = nullptr;
    qint32 hang_ms = 0;
    double dit_ms = 0.0;
    qint64 seq = 0;
    int ttl_ms = 0;
    qint32 holds = 0, ka = 0, rel = 0;
    const char* note = nullptr;
    const QString* to = nullptr;  // the destinations as the log names them
    InhibitKind datagram = InhibitKind::Hold;
    bool sent = false;
    bool hold_active = false;
    FaultAction fault;
    FaultCounts counts;
    qint64 count = 0;
    int status = 0;
    QString path;
    QString text;
    QString json;
};

// One reporter: its state and the function that takes each event.
struct BenchSink {
    void* self = nullptr;
    void (*take)(void* self, const BenchEvent& event) = nullptr;
};

constexpr int MAX_BENCH_SINKS = 8;

struct BenchEvents {
    BenchSink sinks[MAX_BENCH_SINKS];
    int count = 0;
};

// False when the list is full.
bool add_bench_sink(BenchEvents& events, BenchSink sink);
// Hands the event to every sink, in the order they were added; a null
// stream takes nothing.
void emit_bench_event(BenchEvents* events, const BenchEvent& event);

// An event of this kind stamped with the monotonic clock's milliseconds (a
// tick's time) or nanoseconds.
BenchEvent bench_event_at_ms(BenchEventKind kind, qint64 t_ms);
BenchEvent bench_event_at_ns(BenchEventKind kind, qint64 t_ns);
