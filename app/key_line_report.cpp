#include "app/key_line_report.h"

#include "common/bench_event.h"
#include "monitor/monotonic_clock.h"

void report_key_source_lost(KeyLineReport& r, const QString& reason)
{
    if (r.said_lost)
        return;
    r.said_lost = true;
    BenchEvent event = bench_event_at_ns(BenchEventKind::KeySourceLost, monotonic_now_ns());
    event.path = r.source;
    event.text = reason;
    event.note = r.until;
    emit_bench_event(r.events, event);
}

void report_key_source_found(KeyLineReport& r)
{
    if (!r.said_lost)
        return;
    r.said_lost = false;
    BenchEvent event = bench_event_at_ns(BenchEventKind::KeySourceFound, monotonic_now_ns());
    event.path = r.source;
    emit_bench_event(r.events, event);
}
