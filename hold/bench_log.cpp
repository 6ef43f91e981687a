#include "hold/bench_log.h"

#include <QTextStream>

#include "common/log_line.h"
#include "common/text_escape.h"

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
