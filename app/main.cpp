// keyline-bench: a KEY-agent stand-in. Watches the grave key as a
// transmitter's KEY line and holds the station's transmitter inhibited over
// UDP while it is keyed and for the hang after it.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>
#include <QUdpSocket>

#include "app/agent_options.h"
#include "app/banner.h"
#include "app/bench_vcd.h"
#include "app/cw_options.h"
#include "app/edge_wake.h"
#include "app/fault_options.h"
#include "app/fault_timer.h"
#include "app/key_source.h"
#include "app/keyboard_refusal.h"
#include "app/run_seed.h"
#include "app/run_signals.h"
#include "common/log_line.h"
#include "common/nonblocking_output.h"
#include "hold/bench_log.h"
#include "hold/fault_plan.h"
#include "hold/hold_lifecycle.h"
#include "hold/inhibit_payload.h"
#include "hold/inhibit_sender.h"
#include "input/evdev_discovery.h"
#include "morse/key_schedule.h"
#include "morse/morse_style.h"
#include "input/scheduled_key.h"
#include "input/terminal_keys.h"
#include "monitor/edge_recorder.h"
#include "monitor/key_poll_tick.h"
#include "monitor/keying_monitor.h"
#include "monitor/monotonic_clock.h"
#include "morse/morse_decoder.h"
#include "monitor/tick_wakeups.h"

namespace {

constexpr qint64 KEYLESS_LEAD_MS = 20;

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("keyline-bench"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1"));

    QCommandLineParser parser;
    add_agent_options(parser);
    parser.process(app);
    const AgentOptions options = read_agent_options(parser);

    // Start-up refusals go out before anything runs, so they may wait.
    QTextStream err(stderr);
    if (!ttl_ms_valid(options.ttl_ms)) {
        err << TTL_MS_ERROR << '\n';
        return 2;
    }
    if (!host_is_numeric_address(options.host)) {
        err << host_error_text(options.host) << '\n';
        return 2;
    }
    for (const QString& error : {number_option_error(options), payload_option_error(options)}) {
        if (!error.isEmpty()) {
            err << error << '\n';
            return 2;
        }
    }
    const QString seed_error = seed_option_error(options);
    if (!seed_error.isEmpty()) {
        err << seed_error << '\n';
        return 2;
    }
    FaultConfig fault_config;
    const QString fault_error = fault_option_error(options, &fault_config);
    if (!fault_error.isEmpty()) {
        err << fault_error << '\n';
        return 2;
    }
    std::vector<SendDestination> also;
    const QString also_error = also_option_error(options, &also);
    if (!also_error.isEmpty()) {
        err << also_error << '\n';
        return 2;
    }
    const QString source_error = key_source_option_error(options);
    if (!source_error.isEmpty()) {
        err << source_error << '\n';
        return 2;
    }
    const QString cw_error = cw_option_error(options);
    if (!cw_error.isEmpty()) {
        err << cw_error << '\n';
        return 2;
    }
    // The fist's and the faults' draws come from the run's seed, printed so
    // that the run can be repeated.
    const quint64 seed = run_seed(options);
    // A Morse text or a key script stands in for the keyboard: none is opened.
    const bool keyless = keyless_source(options);
    KeySchedule schedule;
    QString load_error;
    if (keyless && !load_key_schedule(options, &schedule, &load_error)) {
        err << load_error << '\n';
        return 2;
    }
    if (keyless) {
        const QString warning = repeated_script_warning(options, schedule);
        if (!warning.isEmpty())
            err << warning << '\n';
        err.flush();
    }
    if (options.key_text_set)
        apply_morse_style(schedule, morse_style(options, seed));
    if (!keyless && !open_evdev_keyboard()) {
        err << keyboard_refusal_text(g_evdev_fail_reason, g_evdev_none_found);
        return 1;
    }

    EdgeRecorder recorder;
    if (options.record_set) {
        QString reason;
        const QByteArray header = record_header(QDateTime::currentDateTimeUtc(), app.arguments()) +
            morse_style_header(options, seed);
        if (!open_edge_recorder(recorder, options.record_file, header, &reason)) {
            err << "keyline-bench: --record " << options.record_file << ": " << reason << '\n';
            return 2;
        }
    }

    BenchVcd vcd;
    if (options.vcd_set) {
        QString reason;
        if (!open_bench_vcd(vcd, options.vcd_file, QDateTime::currentDateTime(), monotonic_now_ns(),
                            app.arguments(), &reason)) {
            err << "keyline-bench: --vcd " << options.vcd_file << ": " << reason << '\n';
            return 2;
        }
    }

    // Handlers first, so that a signal from here on ends the run cleanly.
    const int signal_fd = install_run_signals();
    enter_raw_terminal();

    // From here on no output may hold up a hold: lines that cannot be written
    // now wait in a bounded queue, or are dropped and counted.
    QTextStream run_err(nonblocking_output(2));
    recorder.err = &run_err;  // a write that fails mid-run is said once
    vcd.writer.err = &run_err;

    QUdpSocket socket;

    InhibitSender sender;
    sender.socket = &socket;
    sender.address = QHostAddress(options.host);
    sender.host_text = options.host;
    sender.port = options.port;
    sender.station_body = json_string_body(options.station);
    sender.band_body = json_string_body(options.band);
    sender.verbose_keepalive = options.verbose_keepalive;
    sender.err = &run_err;
    sender.also = also;
    sender.now_ns = monotonic_now_ns;
    if (!also.empty())
        sender.destinations_text = destinations_text(options, also);

    // Faults draw from a generator of their own, seeded with the run's seed.
    FaultPlan fault_plan;
    FaultTimer fault_timer;
    const bool faults = !fault_config_empty(fault_config);
    if (faults) {
        init_fault_plan(fault_plan, fault_config, seed);
        sender.faults = &fault_plan;
        start_fault_timer(fault_timer, sender, app);
        if (options.vcd_set)
            fault_plan.on_fault = [&vcd](const FaultAction&) { bench_vcd_fault(vcd, monotonic_now_ns()); };
    }
    if (options.vcd_set)
        sender.on_send = [&vcd](InhibitKind kind, bool hold_active, bool sent, qint64 at_ns) {
            bench_vcd_send(vcd, kind, hold_active, sent, at_ns);
        };

    QTimer keepalive_timer;
    configure_keepalive_timer(keepalive_timer);
    Hold hold;
    hold.sender = &sender;
    hold.keepalive_timer = &keepalive_timer;
    hold.ttl_ms = options.ttl_ms;

    // The log stream is shared by the datagram lines and the KEY lines; each
    // line is flushed as it is written, so they follow the order of events.
    BenchLog json_log;
    json_log.now_ms = monotonic_now_ms;
    json_log.start_ms = monotonic_now_ms();
    use_log_for_dropped_lines(&json_log);
    QTextStream out(nonblocking_output(1, options.json ? output_dropped_json : nullptr));
    json_log.out = &out;
    const BenchLog* json = options.json ? &json_log : nullptr;
    sender.out = &out;
    sender.json = json;

    Monitor monitor;
    monitor.hang_deadline_ms = &hold.hang_deadline_ms;
    monitor.fixed_hang_set = options.fixed_hang_set;
    monitor.fixed_hang_ms = options.fixed_hang_ms;
    monitor.out = &out;
    monitor.json = json;
    monitor.hold.start_hold = [&hold] { start_hold(hold); };
    // --decode: what was keyed, read back after each RELEASE (and at quit).
    MorseDecoder decoder;
    monitor.hold.release_hold = [&hold, &decoder, &out, &options, json](const char* note) {
        release_hold(hold, note);
        if (options.decode && decoder_has_text(decoder)) {
            const QString decoded = take_decoded_line(decoder);
            if (json) {
                JsonLine line = bench_event(*json, "decoded");
                add_text(line, "line", decoded);
                write_bench_event(*json, line);
            } else {
                write_log_line(out, QStringLiteral("  ") + decoded);
            }
        }
    };

    PollTick tick;
    tick.global_keys = options.global_keys;
    tick.monitor = &monitor;
    tick.sources = real_key_sources();
    if (options.record_set || options.decode || options.vcd_set)
        tick.on_edge = [&recorder, &decoder, &monitor, &vcd, &options](bool down, qint64 now) {
            if (options.record_set) {
                note_dit_estimate(recorder, monitor.keying.dit_ms);
                record_edge(recorder, down, now);
            }
            if (options.decode)
                decoder_edge(decoder, down, now);
            bench_vcd_key(vcd, down, now);
        };
    if (options.vcd_set)
        tick.on_latch = [&vcd](bool latched, qint64 now) { bench_vcd_latch(vcd, latched, now); };
    tick.end_run = [](int exit_status) {
        restore_stdin_termios();
        QCoreApplication::exit(exit_status);
    };

    QString banner = banner_with_faults(
        banner_text(options, keyless ? keyed_source_lines(options, schedule) : QStringList()),
        fault_config, also, seed);
    if (fist_used(options) && !fault_config_random(fault_config))
        banner.insert(banner.size() - 1, seed_banner_line(seed));  // before the closing blank line
    if (json) {
        write_start_event(*json, options, keyless ? keyed_source_lines(options, schedule) : QStringList(),
                          fault_config_random(fault_config) || fist_used(options), seed);
    } else {
        out << banner;
        out.flush();
    }

    QObject::connect(&keepalive_timer, &QTimer::timeout, &app, [&hold] { keepalive_tick(hold); });

    if (signal_fd >= 0) {
        auto* signal_notifier = new QSocketNotifier(signal_fd, QSocketNotifier::Read, &app);
        QObject::connect(signal_notifier, &QSocketNotifier::activated, &app, [&tick, signal_fd] {
            const int signo = take_run_signal(signal_fd);
            if (signo > 0 && !handle_stop_or_continue(signo))
                run_quit_path(tick, 128 + signo);
        });
    }

    // The key's own edges, the terminal's bytes and the hang's deadline run
    // the tick at once; the 5 ms poll catches everything else.
    TickWakeups wakeups;
    wakeups.tick = &tick;
    wakeups.hang_deadline_ms = &hold.hang_deadline_ms;
    wakeups.err = &run_err;
    wakeups.json = json;
    start_tick_wakeups(wakeups, &app);

    QTimer key_poll_timer;
    key_poll_timer.setTimerType(Qt::PreciseTimer);
    key_poll_timer.setInterval(KEY_POLL_INTERVAL_MS);
    QObject::connect(&key_poll_timer, &QTimer::timeout, &app, [&wakeups] { run_tick(wakeups); });
    key_poll_timer.start();

    // The source's edges are timed from here; the tick is also woken at each.
    ScheduledKey scheduled;
    EdgeWake edge_wake;
    if (keyless) {
        tick.scheduled = &scheduled;
        // A short lead: the event loop is running by the first edge, which is
        // then woken on time like every other.
        start_scheduled_key(scheduled, &schedule, options.repeat, monotonic_now_ms() + KEYLESS_LEAD_MS);
        connect_edge_wake(edge_wake, wakeups, key_poll_timer, app);
    }

    const int result = QCoreApplication::exec();

    key_poll_timer.stop();
    if (faults) {
        finish_fault_timer(fault_timer);
        if (json) {
            JsonLine line = bench_event(*json, "faults");
            fault_counts_json(line, fault_plan.counts);
            write_bench_event(*json, line);
        } else {
            out << fault_counts_text(fault_plan.counts) << '\n';
        }
    }
    close_edge_wake(edge_wake);
    close_tick_wakeups(wakeups);
    // The closing gap, so that rounds of a replay stay words apart.
    finish_edge_recorder(recorder, monotonic_now_ms());
    close_edge_recorder(recorder);
    close_bench_vcd(vcd, monotonic_now_ns());
    out.flush();
    // After every "send failed" line: a log read at the end tells a run
    // whose datagrams never left from a good one.
    const QString unsent = unsent_datagrams_text(sender.counters);
    if (!unsent.isEmpty())
        run_err << unsent << '\n';
    run_err.flush();
    close_nonblocking_outputs();
    restore_stdin_termios();
    return result;
}
