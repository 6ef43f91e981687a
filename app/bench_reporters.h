#pragma once
// The reporters of a keyline-bench run, chosen from the options: the text
// log or the JSON lines, the waveform (--vcd), the recording (--record) and
// the decoder (--decode), each a sink on one event stream. This is the one
// place a reporter is added.

#include <QString>
#include <QStringList>

#include "common/bench_event.h"
#include "report/bench_json.h"
#include "report/bench_text.h"
#include "report/bench_vcd.h"
#include "report/decoded_lines.h"
#include "report/edge_recorder.h"

class QTextStream;
struct AgentOptions;

struct BenchReporters {
    BenchEvents events;
    BenchText text;
    BenchLog json;
    BenchVcd vcd;
    EdgeRecorder recorder;
    DecodedLines decoded;
};

// Creates the files the options ask for (never over an existing one); false
// with the message for a refused start.
bool open_bench_reporters(BenchReporters& r, const AgentOptions& options, quint64 seed,
                          const QStringList& arguments, QString* error);

// Once the run's outputs are set up: every reporter the options ask for, in
// the order they hear each event (the decoder last: its lines follow the
// RELEASE they close).
void start_bench_reporters(BenchReporters& r, const AgentOptions& options, QTextStream* out,
                           QTextStream* err);

// The recording's closing gap, and the files closed, at now.
void close_bench_reporters(BenchReporters& r, qint64 now_ns);
