#include "report/bench_json.h"

#include <QTextStream>

#include "common/log_line.h"
#include "common/text_escape.h"
#include "report/bench_lines.h"

namespace {

const BenchLog* g_dropped_log = nullptr;

}  // namespace

JsonLine bench_event(const BenchLog& log, const char* event)
{
    JsonLine line;
    line.text("event", QLatin1String(event));
    line.text("time", log_stamp_now());
    line.number("t_ms", log.now_ms ? log.now_ms() - log.start_ms : 0);
    return line;
}

void write_bench_event(const BenchLog& log, JsonLine& line)
{
    if (!log.out)
        return;
    *log.out << line.done() << '\n';
    log.out->flush();
}

void add_text(JsonLine& line, const char* name, const QString& text)
{
    line.text(name, escape_text(text));
}

void use_log_for_dropped_lines(const BenchLog* log)
{
    g_dropped_log = log;
}

QByteArray output_dropped_json(qint64 count)
{
    JsonLine line = bench_event(g_dropped_log ? *g_dropped_log : BenchLog{}, "output_dropped");
    line.number("lines", count);
    return line.done().toUtf8() + '\n';
}

namespace {

void key_open(JsonLine& line, const BenchEvent& e)
{
    line.number("hang_ms", e.hang_ms);
    add_text(line, "class", QLatin1String(e.key_class));
    // The dit estimate and its speed are written only when there is one.
    if (e.dit_ms > 0.0) {
        line.number("dit_ms", static_cast<qint64>(e.dit_ms + 0.5));
        line.number("wpm", static_cast<qint64>(1200.0 / e.dit_ms + 0.5));
    }
}

const char* json_name(const BenchEvent& e)
{
    switch (e.kind) {
    case BenchEventKind::Start: return "start";
    case BenchEventKind::KeyAssert: return "key_assert";
    case BenchEventKind::KeyOpen: return "key_open";
    case BenchEventKind::HoldSent:
    case BenchEventKind::KeepaliveSent:
    case BenchEventKind::ReleaseSent: return inhibit_event_name(e.datagram);
    case BenchEventKind::Fault: return "fault";
    case BenchEventKind::FaultCounts: return "faults";
    case BenchEventKind::KeyboardLost: return "keyboard_lost";
    case BenchEventKind::KeyboardFound: return "keyboard_found";
    case BenchEventKind::KeySourceLost: return "key_source_lost";
    case BenchEventKind::KeySourceFound: return "key_source_found";
    case BenchEventKind::FellBehind: return "fell_behind";
    case BenchEventKind::Decoded: return "decoded";
    case BenchEventKind::Quit: return "quit";
    default: return nullptr;  // edges, the latch, datagrams out, failed sends: no line
    }
}

}  // namespace

void bench_json_take(void* self, const BenchEvent& e)
{
    const BenchLog& log = *static_cast<BenchLog*>(self);
    const char* name = json_name(e);
    if (!name || (e.kind == BenchEventKind::KeepaliveSent && !log.verbose_keepalive))
        return;
    JsonLine line = bench_event(log, name);
    switch (e.kind) {
    case BenchEventKind::Start: line.out += QLatin1Char(',') + e.json; break;
    case BenchEventKind::KeyAssert: add_text(line, "class", QLatin1String(e.key_class)); break;
    case BenchEventKind::KeyOpen: key_open(line, e); break;
    case BenchEventKind::HoldSent:
    case BenchEventKind::KeepaliveSent:
    case BenchEventKind::ReleaseSent: {
        SendCounters counters;
        counters.holds = e.holds;
        counters.ka = e.ka;
        counters.rel = e.rel;
        send_log_json(line, e.seq, e.ttl_ms, e.to ? *e.to : QString(), counters, e.datagram, e.note);
        break;
    }
    case BenchEventKind::Fault: fault_json(line, e.fault); break;
    case BenchEventKind::FaultCounts: fault_counts_json(line, e.counts); break;
    case BenchEventKind::KeyboardLost:
        add_text(line, "path", e.path);
        add_text(line, "reason", e.text);
        break;
    case BenchEventKind::KeyboardFound: add_text(line, "path", e.path); break;
    case BenchEventKind::KeySourceLost:
        add_text(line, "source", e.path);
        add_text(line, "reason", e.text);
        break;
    case BenchEventKind::KeySourceFound: add_text(line, "source", e.path); break;
    case BenchEventKind::FellBehind: line.number("ms", e.count); break;
    case BenchEventKind::Decoded: add_text(line, "line", e.text); break;
    case BenchEventKind::Quit: line.number("status", e.status); break;
    default: break;
    }
    write_bench_event(log, line);
}

BenchSink bench_json_sink(BenchLog& log)
{
    return BenchSink{&log, bench_json_take};
}
