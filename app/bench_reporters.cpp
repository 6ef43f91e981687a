#include "app/bench_reporters.h"

#include <QDateTime>
#include <QTextStream>

#include "app/agent_options.h"
#include "app/cw_options.h"
#include "monitor/monotonic_clock.h"

bool open_bench_reporters(BenchReporters& r, const AgentOptions& options, quint64 seed,
                          const QStringList& arguments, QString* error)
{
    QString reason;
    if (options.record_set) {
        const QByteArray header =
            record_header(QDateTime::currentDateTimeUtc(), arguments) + morse_style_header(options, seed);
        if (!open_edge_recorder(r.recorder, options.record_file, header, &reason)) {
            *error = QStringLiteral("keyline-bench: --record ") + options.record_file + QStringLiteral(": ") + reason;
            return false;
        }
    }
    if (options.vcd_set &&
        !open_bench_vcd(r.vcd, options.vcd_file, QDateTime::currentDateTime(), monotonic_now_ns(), arguments,
                        &reason)) {
        *error = QStringLiteral("keyline-bench: --vcd ") + options.vcd_file + QStringLiteral(": ") + reason;
        return false;
    }
    return true;
}

void start_bench_reporters(BenchReporters& r, const AgentOptions& options, QTextStream* out, QTextStream* err)
{
    r.recorder.err = err;  // a write that fails mid-run is said once
    r.vcd.writer.err = err;
    if (options.record_set)
        add_bench_sink(r.events, edge_recorder_sink(r.recorder));
    if (options.vcd_set)
        add_bench_sink(r.events, bench_vcd_sink(r.vcd));

    if (options.decode)
        add_bench_sink(r.events, decoded_lines_quit_sink(r.decoded));
    r.text.out = out;
    r.text.err = err;
    r.text.lines = !options.json;
    r.text.verbose_keepalive = options.verbose_keepalive;
    add_bench_sink(r.events, bench_text_sink(r.text));
    if (options.json) {
        r.json.out = out;
        r.json.verbose_keepalive = options.verbose_keepalive;
        add_bench_sink(r.events, bench_json_sink(r.json));
    }
    if (options.decode) {
        r.decoded.events = &r.events;
        QString reason;
        if (start_decoded_lines(r.decoded, &reason))
            add_bench_sink(r.events, decoded_lines_sink(r.decoded));
        else
            *err << "keyline-bench: " << reason << " (nothing is decoded)\n";
    }
}

void close_bench_reporters(BenchReporters& r, qint64 now_ns)
{
    // A run that ended without a quit: the decoder's last lines are let go.
    r.decoded.events = nullptr;
    finish_decoded_lines(r.decoded);
    finish_edge_recorder(r.recorder, now_ns / 1000000);
    close_edge_recorder(r.recorder);
    close_bench_vcd(r.vcd, now_ns);
}
