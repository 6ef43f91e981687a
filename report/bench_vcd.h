#pragma once
// keyline-bench --vcd: the run as waveforms. Levels: the KEY as the monitor
// sees it, the latch, the hold. Marks (a 1 us pulse each): every datagram
// sent, on a wire per kind, and every fault injected.

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include "report/vcd_writer.h"
#include "common/bench_event.h"
#include "common/inhibit_kind.h"

enum BenchWire {
    BENCH_WIRE_KEY,
    BENCH_WIRE_LATCH,
    BENCH_WIRE_HOLD,
    BENCH_WIRE_SENT_HOLD,
    BENCH_WIRE_SENT_KEEPALIVE,
    BENCH_WIRE_SENT_RELEASE,
    BENCH_WIRE_FAULT,
    BENCH_WIRES
};

// Wire names in the file, in BenchWire order.
QStringList bench_wire_names();

struct BenchVcd {
    VcdWriter writer;
    qint64 start_ns = 0;  // the run's start on the monotonic clock
};

// Creates the file (never over an existing one); false with the reason.
bool open_bench_vcd(BenchVcd& vcd, const QString& path, const QDateTime& start_wall,
                    qint64 start_ns, const QStringList& arguments, QString* error);

// Each does nothing when no file is open, and never waits or allocates.
void bench_vcd_key(BenchVcd& vcd, bool down, qint64 now_ms);
void bench_vcd_latch(BenchVcd& vcd, bool latched, qint64 now_ms);
// A datagram left (sent) or failed; hold_active is the hold after it.
void bench_vcd_send(BenchVcd& vcd, InhibitKind kind, bool hold_active, bool sent, qint64 now_ns);
void bench_vcd_fault(BenchVcd& vcd, qint64 now_ns);

void close_bench_vcd(BenchVcd& vcd, qint64 now_ns);

// The reporter: the KEY's edges, the latch, every datagram out and every
// fault, each at its event's time.
void bench_vcd_take(void* self, const BenchEvent& event);
BenchSink bench_vcd_sink(BenchVcd& vcd);
