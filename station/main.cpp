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
#include "station/reception.h"
#include "station/run_reports.h"
#include "station/station_options.h"
#include "station/station_output.h"
#include "station/station_vcd.h"
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

    RunReports reports;
    QString report_error;
    if (!open_run_reports(reports, options, station_now_ms(), report_error)) {
        err << report_error << '\n';
        close(fd);
        return EXIT_USAGE;
    }
    StationVcd vcd;
    FileIdentity vcd_identity;
    if (!options.vcd_file.isEmpty()) {
        QString reason;
        if (!open_station_vcd(vcd, options.vcd_file, QDateTime::currentDateTime(), station_now_ms(),
                              QCoreApplication::arguments(), &reason)) {
            err << "keyline-station: --vcd " << options.vcd_file << ": " << reason << '\n';
            discard_run_reports(reports);
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
        write_events(output, {listening});
    }
    ForwardTap tap;
    tap.address = options.forward_address;
    tap.port = options.forward_port;
    tap.text = options.forward_text;
    tap.max_sockets = station.table.max_streams;
    if (options.forward)
        station.table.forward_errors = 0;

    const qint64 run_end_ms = options.duration_ms > 0 ? station_now_ms() + options.duration_ms : -1;
    bool finished = false;

    auto flush = [&] {
        station_vcd_events(vcd, events);
        collect_events(reports, events);
        write_events(output, events);
        events.clear();
    };
    // Takes queued datagrams; with a horizon, stops after the first one the
    // kernel received later than that (nothing later can count for it).
    auto drain = [&](int limit, qint64 horizon_ms) {
        ReceivedDatagram datagram;
        for (int n = 0; n < limit; ++n) {
            if (!receive_datagram(fd, buffer.data(), static_cast<int>(buffer.size()), queue, datagram))
                break;
            // Forwarded first: nothing the checker does can delay or lose it.
            if (options.forward) {
                forward_datagram(tap, datagram.sender, datagram.arrival_ms, buffer.data(), datagram.size,
                                 events);
                station.table.forward_errors = tap.errors;
            }
            const qint64 evicted = station.table.evicted;
            receive_payload(station, datagram.sender, datagram.arrival_ms, buffer.data(), datagram.size,
                            events);
            if (options.forward && station.table.evicted != evicted)
                close_evicted_forwards(tap, station.table, datagram.sender);
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
        flush();
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
        QCoreApplication::exit(table_problems(station.table) > 0 ? EXIT_PROBLEMS : EXIT_CLEAN);
    };
    auto enough_holds = [&] {
        return options.holds > 0 && station.table.holds_ended >= options.holds;
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
        if (run_end_ms >= 0 && (deadline < 0 || run_end_ms < deadline))
            deadline = run_end_ms;
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
        flush();
        if (enough_holds() || (run_end_ms >= 0 && now >= run_end_ms))
            finish();
        rearm();
    });

    QSocketNotifier socket_notifier(fd, QSocketNotifier::Read);
    QObject::connect(&socket_notifier, &QSocketNotifier::activated, &app, [&] {
        drain(DRAIN_BATCH, -1);
        if (enough_holds())
            finish();
        rearm();
    });

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
    close(fd);
    remove_port_file(port_file);
    close_forward_tap(tap);
    close_station_vcd(vcd, station_now_ms());
    out.flush();
    run_err.flush();
    close_nonblocking_outputs();
    return result;
}
