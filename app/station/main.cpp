// keyline-station: stands in for a station's inhibit port. Receives the
// inhibit datagrams, checks each one, keeps the hold each sender would have on
// the station, and reports holds, releases, lapses and problems.

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "common/nonblocking_output.h"
#include "common/signal_pipe.h"
#include "station/event_format.h"
#include "station/port_file.h"
#include "station/forward_tap.h"
#include "station/forward_tap_check.h"
#include "station/reception.h"
#include "station/run_reports.h"
#include "station/station_options.h"
#include "station/station_output.h"
#include "station/station_vcd.h"
#include "station/station_watch.h"
#include "rig/hamlib_rig.h"
#include "station/udp_receiver.h"

namespace {

// Datagrams taken per wake-up of the socket before the event loop gets a
// turn (the notifier fires again at once while more are queued).
constexpr int DRAIN_BATCH = 4096;

// How long the end of a run waits for a slow reader to take the summary.
constexpr int FINAL_WRITE_MS = 5000;

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("keyline-station"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1"));

    QTextStream err(stderr);
    const OptionsResult parsed = read_station_options(QCoreApplication::arguments());
    if (parsed.outcome == OptionsOutcome::Help || parsed.outcome == OptionsOutcome::Version) {
        QTextStream(stdout) << parsed.text;
        return EXIT_CLEAN;
    }
    if (parsed.outcome == OptionsOutcome::Error) {
        err << parsed.text << '\n';
        return EXIT_USAGE;
    }
    if (parsed.outcome == OptionsOutcome::ListRigs) {
        QTextStream listing(stdout);
        for (const RigModel& m : list_rig_models())
            listing << QStringLiteral("%1\t%2\t%3\t%4\n").arg(m.model).arg(m.maker, m.name, m.status);
        return EXIT_CLEAN;
    }
    const StationOptions& options = parsed.options;
    // Every output is checked before anything is created or bound.
    const QString path_problem = output_paths_problem(station_outputs(options));
    if (!path_problem.isEmpty()) {
        err << "keyline-station: " << path_problem << '\n';
        return EXIT_USAGE;
    }

    // Ctrl-C, SIGTERM and SIGHUP end the run with its summary.
    const int stop_fd = install_signal_pipe({SIGINT, SIGTERM, SIGHUP});

    // Nothing can be queued before the socket exists.
    QueueReading queue;
    queue.empty_ms = queue.last_arrival_ms = station_now_ms();
    quint16 port = 0;
    QString bind_error;
    const int fd = open_inhibit_socket(options.bind_address, options.port, port, bind_error);
    if (fd < 0) {
        err << QStringLiteral("keyline-station: cannot listen on %1 port %2: %3")
                   .arg(options.bind_text)
                   .arg(options.port)
                   .arg(bind_error)
            << '\n';
        return EXIT_USAGE;
    }
    if (options.forward &&
        forward_reaches_itself(options.bind_address, port, options.forward_address, options.forward_port)) {
        err << QStringLiteral("keyline-station: --forward %1 is where this station listens (%2 port %3): "
                              "every datagram would come back to it")
                   .arg(options.forward_text, options.bind_text)
                   .arg(port)
            << '\n';
        close(fd);
        return EXIT_USAGE;
    }

    // The station under test: a rig or a command that cannot be reached now
    // refuses the run.
    StationWatch watch;
    {
        QString watch_error;
        if (!open_station_watch(watch, options, station_now_ms(), watch_error)) {
            err << "keyline-station: " << watch_error << '\n';
            close(fd);
            return EXIT_USAGE;
        }
    }

    RunReports reports;
    QString report_error;
    if (!open_run_reports(reports, options, station_now_ms(), report_error)) {
        err << report_error << '\n';
        close_station_watch(watch);
        close(fd);
        return EXIT_USAGE;
    }
    StationVcd vcd;
    FileIdentity vcd_identity;
    if (!options.vcd_file.isEmpty()) {
        QString reason;
        if (!open_station_vcd(vcd, options.vcd_file, QDateTime::currentDateTime(), station_now_ms(),
                              QCoreApplication::arguments(), &reason, watch.sides[WATCH_RIG].active,
                              watch.sides[WATCH_LOG].active)) {
            err << "keyline-station: --vcd " << options.vcd_file << ": " << reason << '\n';
            discard_run_reports(reports);
            close_station_watch(watch);
            close(fd);
            return EXIT_USAGE;
        }
        vcd_identity = path_identity(options.vcd_file);
    }
    // Before the run starts: a refusal leaves no file behind.
    PortFile port_file;
    if (!options.port_file.isEmpty()) {
        QString error;
        if (!write_port_file(port_file, options.port_file, port, error)) {
            err << QStringLiteral("keyline-station: cannot write the port file %1: %2")
                       .arg(options.port_file, error)
                << '\n';
            discard_run_reports(reports);
            close_station_vcd(vcd, station_now_ms());
            remove_if_same(options.vcd_file, vcd_identity, true);
            close_station_watch(watch);
            close(fd);
            return EXIT_USAGE;
        }
    }

    // A reader that stops reading must not stop reception: lines that cannot
    // be written now wait in a bounded queue, or are dropped and counted.
    QTextStream out(nonblocking_output(1, options.json ? dropped_lines_json : nullptr));
    QTextStream run_err;
    if (vcd_open(vcd.writer)) {
        run_err.setDevice(nonblocking_output(2));
        vcd.writer.err = &run_err;  // a gap or a failed write is said once
    }
    StationOutput output;
    output.out = &out;
    output.json = options.json;
    output.verbose = options.verbose;

    Station station;
    station.table.expect_holds = options.expect_holds;
    StationEvents events;
    events.reserve(64);
    std::vector<char> buffer(65536);

    {
        StationEvent listening;
        listening.kind = EventKind::Listening;
        listening.address = options.bind_address.toString();
        listening.port = port;
        if (options.forward)
            listening.text = options.forward_text;
        listening.watch = watched_text(watch);
        write_events(output, {listening});
    }
    // The tap forwards on a thread of its own (forward_tap_thread.h); the
    // checking below takes what it hands over.
    ForwardThread tap;
    tap.tap.address = options.forward_address;
    tap.tap.port = options.forward_port;
    tap.tap.text = options.forward_text;
    // Room for every stream the table keeps, and for those it has let go of
    // while the thread has not yet heard so.
    tap.tap.max_sockets = 2 * station.table.max_streams;
    TapChecking tap_checking;
    if (options.forward) {
        station.table.forward_errors = 0;
        QString error;
        if (!start_forward_thread(tap, fd, options.bind_address, error)) {
            err << QStringLiteral("keyline-station: cannot start forwarding: %1").arg(error) << '\n';
            close(fd);
            return EXIT_USAGE;
        }
    }

    const qint64 run_end_ms = options.duration_ms > 0 ? station_now_ms() + options.duration_ms : -1;
    bool finished = false;

    // The model's changes go to the watch once per event, before it judges.
    size_t modelled = 0;
    StationEvents model_changes;
    auto model = [&] {
        if (modelled >= events.size())
            return;
        model_changes.clear();
        watch_model_events(watch, StationEvents(events.begin() + modelled, events.end()), model_changes);
        events.insert(events.end(), model_changes.begin(), model_changes.end());
        modelled = events.size();
    };
    // Everything up to now is known (datagrams drained, lapses ticked): judge.
    auto judge = [&](qint64 now) {
        if (!watching(watch))
            return;
        model();
        judge_station_watch(watch, now, events);
        modelled = events.size();
    };
    auto flush = [&] {
        model();
        modelled = 0;
        station_vcd_events(vcd, events);
        collect_events(reports, events);
        write_events(output, events);
        events.clear();
    };
    // What the tap's thread handed over, checked as drain does; with a
    // horizon, first makes sure of everything queued before it (a marker).
    auto drain_tap = [&](int limit, qint64 horizon_ms) {
        clear_tap_wake(tap);
        const qint64 marker = horizon_ms >= 0 ? send_tap_marker(tap) : -1;
        const qint64 give_up_ms = station_now_ms() + 2000;
        TapRecord record;
        int size = 0;
        for (int n = 0; n < limit;) {
            if (!take_tap_record(tap, record, buffer, size)) {
                if (marker < 0 || station_now_ms() >= give_up_ms)
                    break;
                wait_tap_records(tap, 20);
                continue;
            }
            ++n;
            if (record.kind == TapRecord::Marker) {
                if (marker >= 0 && record.serial >= marker)
                    break;
                continue;
            }
            check_tap_record(tap, tap_checking, station, record, buffer.data(), size, events);
            if (events.size() >= 256)
                flush();
            if (horizon_ms >= 0 && record.arrival_ms > horizon_ms)
                break;
        }
        flush();
        // What is left for later wakes the loop again.
        wake_if_records_wait(tap);
    };
    // Takes queued datagrams; with a horizon, stops after the first one the
    // kernel received later than that (nothing later can count for it).
    auto drain = [&](int limit, qint64 horizon_ms) {
        if (options.forward) {
            drain_tap(limit, horizon_ms);
            return;
        }
        ReceivedDatagram datagram;
        for (int n = 0; n < limit; ++n) {
            if (!receive_datagram(fd, buffer.data(), static_cast<int>(buffer.size()), queue, datagram))
                break;
            station.table.kernel_drops = qMax(station.table.kernel_drops, datagram.kernel_drops);
            receive_payload(station, datagram.sender, datagram.arrival_ms, buffer.data(), datagram.size,
                            events);
            if (events.size() >= 256)
                flush();
            if (horizon_ms >= 0 && datagram.arrival_ms > horizon_ms)
                break;
        }
        flush();
    };
    auto finish = [&] {
        if (finished)
            return;
        finished = true;
        const qint64 now = station_now_ms();
        drain(1 << 30, now);
        station_tick(station, now, events);
        flush_suppressed(station.limiter, now, true, events);
        model();
        finish_station_watch(watch, now, events);
        modelled = events.size();
        close_station_watch(watch);
        flush();
        // Drops after the last datagram taken are known only to the socket.
        station.table.kernel_drops = qMax(station.table.kernel_drops, socket_kernel_drops(fd));
        if (options.forward)
            station.table.unchecked = tap.unchecked.load();
        const WatchTotals watch_totals = station_watch_totals(watch);
        if (watching(watch)) {
            output.watch = &watch_totals;
            reports.record.watch_totals = watch_totals;
        }
        // The summary is what a script reads: it waits for a slow reader
        // (bounded) and is never dropped for its length.
        out.flush();
        const FinalWrite written =
            finish_nonblocking_output(1, summary_bytes(output, station.table), FINAL_WRITE_MS);
        if (!written.whole)
            err << QStringLiteral("keyline-station: the summary could not be written: %1")
                       .arg(written.error == EAGAIN
                                ? QStringLiteral("the output did not take it within %1 s").arg(FINAL_WRITE_MS / 1000)
                                : QString::fromLocal8Bit(strerror(written.error)))
                << Qt::endl;
        QString write_error;
        if (!write_run_reports(reports, station.table, now, write_error)) {
            err << write_error;
            err.flush();
            QCoreApplication::exit(EXIT_USAGE);
            return;
        }
        QCoreApplication::exit(table_problems(station.table) + station_watch_problems(watch) > 0 ? EXIT_PROBLEMS
                                                                                                  : EXIT_CLEAN);
    };
    // With a watch, the run ends react-ms (and two polls) after the last hold
    // ended, so that the station's answer to it is judged too.
    qint64 holds_done_ms = -1;
    auto enough_holds = [&] {
        if (options.holds <= 0 || station.table.holds_ended < options.holds)
            return false;
        if (!watching(watch))
            return true;
        const qint64 now = station_now_ms();
        if (holds_done_ms < 0)
            holds_done_ms = now + options.react_ms + 2 * options.watch_poll_ms + 10;
        return now >= holds_done_ms;
    };

    // One precise single-shot timer for whatever is due next: a hold's
    // expiry, the end of a sender's malformed second, the end of the run.
    QTimer deadline_timer;
    deadline_timer.setSingleShot(true);
    deadline_timer.setTimerType(Qt::PreciseTimer);
    auto rearm = [&] {
        if (finished)
            return;
        qint64 deadline = station_next_deadline_ms(station);
        const qint64 watch_deadline = station_watch_deadline_ms(watch);
        if (watch_deadline >= 0 && (deadline < 0 || watch_deadline < deadline))
            deadline = watch_deadline;
        if (run_end_ms >= 0 && (deadline < 0 || run_end_ms < deadline))
            deadline = run_end_ms;
        if (holds_done_ms >= 0 && (deadline < 0 || holds_done_ms < deadline))
            deadline = holds_done_ms;
        if (deadline < 0) {
            deadline_timer.stop();
            return;
        }
        const qint64 wait = qBound<qint64>(0, deadline - station_now_ms(), 3600 * 1000);
        deadline_timer.start(static_cast<int>(wait));
    };
    QObject::connect(&deadline_timer, &QTimer::timeout, &app, [&] {
        // The time is read first: whatever the kernel queued before it is
        // taken in before a lapse is declared.
        const qint64 now = station_now_ms();
        drain(1 << 30, now);
        station_tick(station, now, events);
        judge(now);
        flush();
        if (enough_holds() || (run_end_ms >= 0 && now >= run_end_ms))
            finish();
        rearm();
    });

    QSocketNotifier socket_notifier(options.forward ? tap.wake_fd : fd, QSocketNotifier::Read);
    QObject::connect(&socket_notifier, &QSocketNotifier::activated, &app, [&] {
        drain(DRAIN_BATCH, -1);
        if (enough_holds())
            finish();
        rearm();
    });

    // What the rig's poller or the log's reader hands over: taken, then judged
    // once the model is known up to now.
    for (int side = 0; side < 2; ++side) {
        const int watch_fd = station_watch_fd(watch, side);
        if (watch_fd < 0)
            continue;
        auto* notifier = new QSocketNotifier(watch_fd, QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&, notifier, side] {
            if (finished)
                return;
            take_watch_input(watch, events);
            if (watch.cannot_start) {
                err << "keyline-station: " << watch.start_error << Qt::endl;
                finished = true;
                QCoreApplication::exit(EXIT_USAGE);
                return;
            }
            const qint64 now = station_now_ms();
            drain(1 << 30, now);
            station_tick(station, now, events);
            judge(now);
            flush();
            if (station_watch_fd(watch, side) < 0)
                notifier->setEnabled(false);
            if (enough_holds())
                finish();
            rearm();
        });
    }

    if (stop_fd >= 0) {
        auto* stop_notifier = new QSocketNotifier(stop_fd, QSocketNotifier::Read, &app);
        QObject::connect(stop_notifier, &QSocketNotifier::activated, &app, [&, stop_fd] {
            if (take_piped_signal(stop_fd) != 0)
                finish();
        });
    }

    rearm();
    const int result = QCoreApplication::exec();
    socket_notifier.setEnabled(false);
    stop_forward_thread(tap);
    close(fd);
    remove_port_file(port_file);
    close_station_watch(watch);
    close_station_vcd(vcd, station_now_ms());
    out.flush();
    run_err.flush();
    close_nonblocking_outputs();
    return result;
}
