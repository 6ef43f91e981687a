#pragma once
// keyline-bench's log as JSON lines (--json): one object per event, "event"
// first, then "time" (local wall time, as in the text log) and "t_ms"
// (milliseconds on the monotonic clock from the start of the run), then the
// event's own fields. Texts are escaped as keyline-station escapes them. A
// new kind of event is one small function that adds its fields to
// bench_event() and hands the line to write_bench_event().

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include "common/bench_event.h"
#include "common/json_line.h"

class QTextStream;

struct BenchLog {
    QTextStream* out = nullptr;
    qint64 (*now_ms)() = nullptr;  // the monotonic clock
    qint64 start_ms = 0;           // on that clock
    bool verbose_keepalive = false;  // a KEEPALIVE has its line only when set
};

// The reporter: every event of the log as its JSON line on out. A failed
// send is not a line here (the text reporter says it on standard error).
void bench_json_take(void* self, const BenchEvent& event);
BenchSink bench_json_sink(BenchLog& log);

// A line with its event, time and t_ms.
JsonLine bench_event(const BenchLog& log, const char* event);
// Writes the line, flushed at once so lines follow the order of events.
void write_bench_event(const BenchLog& log, JsonLine& line);
// A text field, escaped.
void add_text(JsonLine& line, const char* name, const QString& text);

// The output_dropped line (with its line feed) for the standard output's
// queue, timed by the log given to use_log_for_dropped_lines.
void use_log_for_dropped_lines(const BenchLog* log);
QByteArray output_dropped_json(qint64 count);
