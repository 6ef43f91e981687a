#include "common/bench_event.h"

bool add_bench_sink(BenchEvents& events, BenchSink sink)
{
    if (events.count >= MAX_BENCH_SINKS)
        return false;
    events.sinks[events.count++] = sink;
    return true;
}

void emit_bench_event(BenchEvents* events, const BenchEvent& event)
{
    if (!events)
        return;
    for (int i = 0; i < events->count; ++i)
        events->sinks[i].take(events->sinks[i].self, event);
}

BenchEvent bench_event_at_ms(BenchEventKind kind, qint64 t_ms)
{
    return bench_event_at_ns(kind, t_ms * 1000000);
}

BenchEvent bench_event_at_ns(BenchEventKind kind, qint64 t_ns)
{
    BenchEvent event;
    event.kind = kind;
    event.t_ns = t_ns;
    return event;
}
