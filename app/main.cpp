// keyline-bench: a KEY-agent stand-in. Watches a transmitter's KEY line (the
// grave key, a serial line, a rig's PTT, a Morse text, a key script) and holds
// the station's transmitter inhibited over UDP while it is keyed and for the
// hang after it.
//
// The wiring only: the KEY source, the KEYing monitor, the hold and the
// faults emit events on one stream; the reporters chosen from the options
// (app/bench_reporters) hang off it.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>
#include <QUdpSocket>

#include "app/agent_command_line.h"
#include "app/banner.h"
#include "app/cw_options.h"
#include "app/bench_reporters.h"
#include "app/edge_wake.h"
#include "app/fault_timer.h"
#include "app/key_lines.h"
#include "app/key_source.h"
#include "app/run_seed.h"
#include "app/run_sender.h"
#include "app/run_signals.h"
#include "app/start_checks.h"
#include "common/nonblocking_output.h"
#include "hold/hold_lifecycle.h"
#include "input/scheduled_key.h"
#include "input/terminal_keys.h"
#include "monitor/key_poll_tick.h"
#include "monitor/keying_monitor.h"
#include "monitor/monotonic_clock.h"
#include "monitor/tick_wakeups.h"
#include "morse/key_schedule.h"

// A keyless source's first edge comes this long after the start.
constexpr qint64 KEYLESS_LEAD_MS = 20;

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
    FaultConfig fault_config;
    std::vector<SendDestination> also;
    const QString refusal = start_refusal(parser, options, &fault_config, &also);
    if (!refusal.isEmpty()) {
        err << refusal << '\n';
        return 2;
    }
    // The fist's and the faults' draws come from the run's seed, printed so
    // that the run can be repeated.
    const quint64 seed = run_seed(options);
    // A Morse text or a key script stands in for the keyboard: none is opened.
    const bool keyless = keyless_source(options);
    KeySchedule schedule;
    if (keyless && !load_keyless_schedule(options, seed, &schedule, err))
        return 2;
    // The KEY: a serial line, a rig or the keyboard (none for a keyless source).
    KeyLines key_lines;
    QString open_error;
    if (!open_key_lines(key_lines, options, keyless, &open_error)) {
        err << open_error;
        return 1;
    }
    BenchReporters reporters;
    if (!open_bench_reporters(reporters, options, seed, app.arguments(), &open_error)) {
        err << open_error << '\n';
        return 2;
    }

    // Handlers first, so that a signal from here on ends the run cleanly.
    const int signal_fd = install_run_signals();
    enter_raw_terminal();

    // From here on no output may hold up a hold: lines that cannot be written
    // now wait in a bounded queue, or are dropped and counted. Each line is
    // flushed as it is written, so the lines follow the order of events.
    QTextStream run_err(nonblocking_output(2));
    reporters.json.now_ms = monotonic_now_ms;
    reporters.json.start_ms = monotonic_now_ms();
    use_log_for_dropped_lines(&reporters.json);
    QTextStream out(nonblocking_output(1, options.json ? output_dropped_json : nullptr));
    start_bench_reporters(reporters, options, &out, &run_err);
    BenchEvents* events = &reporters.events;

    QUdpSocket socket;
    InhibitSender sender;
    configure_sender(sender, &socket, options, also, events);

    // Faults draw from a generator of their own, seeded with the run's seed.
    FaultPlan fault_plan;
    FaultTimer fault_timer;
    const bool faults = !fault_config_empty(fault_config);
    if (faults) {
        init_fault_plan(fault_plan, fault_config, seed);
        sender.faults = &fault_plan;
        start_fault_timer(fault_timer, sender, app);
    }

    QTimer keepalive_timer;
    configure_keepalive_timer(keepalive_timer);
    Hold hold;
    hold.sender = &sender;
    hold.keepalive_timer = &keepalive_timer;
    hold.ttl_ms = options.ttl_ms;

    Monitor monitor;
    monitor.hang_deadline_ms = &hold.hang_deadline_ms;
    monitor.fixed_hang_set = options.fixed_hang_set;
    monitor.fixed_hang_ms = options.fixed_hang_ms;
    monitor.events = events;
    monitor.hold.start_hold = [&hold] { start_hold(hold); };
    monitor.hold.release_hold = [&hold](const char* note) { release_hold(hold, note); };

    PollTick tick;
    tick.global_keys = options.global_keys;
    tick.monitor = &monitor;
    tick.sources = real_key_sources();
    tick.events = events;
    tick.end_run = [](int exit_status) {
        restore_stdin_termios();
        QCoreApplication::exit(exit_status);
    };

    emit_bench_event(events, start_event(options, keyless ? keyed_source_lines(options, schedule) : QStringList(),
                                         fault_config, also, seed, monotonic_now_ns()));

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
    wakeups.events = events;
    start_tick_wakeups(wakeups, &app);
    connect_key_lines(key_lines, wakeups, &app);

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
        BenchEvent counts = bench_event_at_ns(BenchEventKind::FaultCounts, monotonic_now_ns());
        counts.counts = fault_plan.counts;
        emit_bench_event(events, counts);
    }
    close_edge_wake(edge_wake);
    close_key_lines(key_lines);
    close_tick_wakeups(wakeups);
    close_bench_reporters(reporters, monotonic_now_ns());
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
