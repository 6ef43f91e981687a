#pragma once
// For the tests: the text log on an event stream, and every event seen.

#include <QTextStream>

#include <vector>

#include "common/bench_event.h"
#include "report/bench_text.h"

struct TestEvents {
    BenchEvents events;
    BenchText text;
    std::vector<BenchEvent> seen;

    static void keep(void* self, const BenchEvent& e) { static_cast<TestEvents*>(self)->seen.push_back(e); }

    // A fresh stream: the text log on out (and err), then the record of events.
    BenchEvents* attach(QTextStream* out, QTextStream* err = nullptr, bool verbose_keepalive = false)
    {
        events = BenchEvents{};
        seen.clear();
        text = BenchText{};
        text.out = out;
        text.err = err;
        text.verbose_keepalive = verbose_keepalive;
        add_bench_sink(events, bench_text_sink(text));
        add_bench_sink(events, BenchSink{this, keep});
        return &events;
    }
    std::vector<BenchEvent> of(BenchEventKind kind) const
    {
        std::vector<BenchEvent> found;
        for (const BenchEvent& e : seen)
            if (e.kind == kind)
                found.push_back(e);
        return found;
    }
};
