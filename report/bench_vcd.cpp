#include "report/bench_vcd.h"


namespace {

qint64 us_from_ns(const BenchVcd& vcd, qint64 now_ns)
{
    return (now_ns - vcd.start_ns) / 1000;
}

qint64 us_from_ms(const BenchVcd& vcd, qint64 now_ms)
{
    return now_ms * 1000 - vcd.start_ns / 1000;
}

int sent_wire(InhibitKind kind)
{
    switch (kind) {
    case InhibitKind::Hold: return BENCH_WIRE_SENT_HOLD;
    case InhibitKind::Keepalive: return BENCH_WIRE_SENT_KEEPALIVE;
    case InhibitKind::Release: return BENCH_WIRE_SENT_RELEASE;
    }
    return -1;
}

}  // namespace

QStringList bench_wire_names()
{
    return {QStringLiteral("key"),          QStringLiteral("latch"),        QStringLiteral("hold"),
            QStringLiteral("sent_hold"),    QStringLiteral("sent_keepalive"), QStringLiteral("sent_release"),
            QStringLiteral("fault")};
}

bool open_bench_vcd(BenchVcd& vcd, const QString& path, const QDateTime& start_wall, qint64 start_ns,
                    const QStringList& arguments, QString* error)
{
    const VcdHeaderFields fields =
        run_header_fields(start_wall, arguments, QStringLiteral("keyline_bench"), bench_wire_names());
    vcd.start_ns = start_ns;
    vcd.writer.option_text = QStringLiteral("keyline-bench: --vcd ") + path;
    return open_vcd_writer(vcd.writer, path, vcd_header(fields), BENCH_WIRES, error);
}

void bench_vcd_key(BenchVcd& vcd, bool down, qint64 now_ms)
{
    vcd_write_level(vcd.writer, us_from_ms(vcd, now_ms), BENCH_WIRE_KEY, down);
}

void bench_vcd_latch(BenchVcd& vcd, bool latched, qint64 now_ms)
{
    vcd_write_level(vcd.writer, us_from_ms(vcd, now_ms), BENCH_WIRE_LATCH, latched);
}

void bench_vcd_send(BenchVcd& vcd, InhibitKind kind, bool hold_active, bool sent, qint64 now_ns)
{
    const qint64 t = us_from_ns(vcd, now_ns);
    vcd_write_level(vcd.writer, t, BENCH_WIRE_HOLD, hold_active);
    // A datagram the socket refused did not leave: no mark claims it did.
    if (sent)
        vcd_write_mark(vcd.writer, t, sent_wire(kind));
}

void bench_vcd_fault(BenchVcd& vcd, qint64 now_ns)
{
    vcd_write_mark(vcd.writer, us_from_ns(vcd, now_ns), BENCH_WIRE_FAULT);
}

void close_bench_vcd(BenchVcd& vcd, qint64 now_ns)
{
    close_vcd_writer(vcd.writer, us_from_ns(vcd, now_ns));
}

void bench_vcd_take(void* self, const BenchEvent& e)
{
    BenchVcd& vcd = *static_cast<BenchVcd*>(self);
    switch (e.kind) {
    case BenchEventKind::KeyEdge: bench_vcd_key(vcd, e.level, e.t_ns / 1000000); break;
    case BenchEventKind::Latch: bench_vcd_latch(vcd, e.level, e.t_ns / 1000000); break;
    case BenchEventKind::DatagramOut: bench_vcd_send(vcd, e.datagram, e.hold_active, e.sent, e.t_ns); break;
    case BenchEventKind::Fault: bench_vcd_fault(vcd, e.t_ns); break;
    default: break;
    }
}

BenchSink bench_vcd_sink(BenchVcd& vcd)
{
    return BenchSink{&vcd, bench_vcd_take};
}
