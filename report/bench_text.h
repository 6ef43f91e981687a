#pragma once
// The text log as a reporter: the banner, the KEY lines, the send log, the
// FAULT lines, "quit" and the fault counts on out; the keyboard's and the
// KEY source's comings and goings and the failed sends on err. With --json
// only the failed sends are said here (lines = false).

#include "common/bench_event.h"

class QTextStream;

struct BenchText {
    QTextStream* out = nullptr;
    QTextStream* err = nullptr;
    bool lines = true;               // false: the failed sends only
    bool verbose_keepalive = false;  // a KEEPALIVE has its line only when set
};

void bench_text_take(void* self, const BenchEvent& event);
BenchSink bench_text_sink(BenchText& text);
