#include "app/station/station_start.h"

#include <QCoreApplication>
#include <QDateTime>

#include <unistd.h>

#include "app/station/station_run.h"
#include "common/nonblocking_output.h"
#include "report/event_format.h"

namespace {

// Undoes what the start had opened (the port file aside) when a later step
// refuses the run.
int refuse(StationRun& run, const QString& reason)
{
    *run.err << reason << '\n';
    if (vcd_open(run.vcd.writer)) {
        close_station_vcd(run.vcd, station_now_ms());
        remove_if_same(run.options->vcd_file, run.vcd_identity, true);
    }
    discard_run_reports(run.reports);
    close_station_watch(run.watch);
    close(run.fd);
    run.fd = -1;
    return EXIT_USAGE;
}

// The socket, and a tap that would send every datagram back to it refused.
int bind_socket(StationRun& run, const StationOptions& options)
{
    // Nothing can be queued before the socket exists.
    run.queue.empty_ms = run.queue.last_arrival_ms = station_now_ms();
    QString bind_error;
    run.fd = open_inhibit_socket(options.bind_address, options.port, run.port, bind_error);
    if (run.fd < 0) {
        *run.err << QStringLiteral("keyline-station: cannot listen on %1 port %2: %3")
                        .arg(options.bind_text)
                        .arg(options.port)
                        .arg(bind_error)
                 << '\n';
        return EXIT_USAGE;
    }
    if (options.forward &&
        forward_reaches_itself(options.bind_address, run.port, options.forward_address, options.forward_port))
        return refuse(run, QStringLiteral("keyline-station: --forward %1 is where this station listens (%2 port %3): "
                                          "every datagram would come back to it")
                               .arg(options.forward_text, options.bind_text)
                               .arg(run.port));
    return 0;
}

// The station under test (a rig or a command that cannot be reached now
// refuses the run), the report files, the VCD and the port file.
int open_outputs(StationRun& run, const StationOptions& options)
{
    QString error;
    if (!open_station_watch(run.watch, options.watch, options.expect_watch, station_now_ms(), error))
        return refuse(run, QStringLiteral("keyline-station: ") + error);
    if (!open_run_reports(run.reports, options.timeline_file, options.junit_file, station_now_ms(), error))
        return refuse(run, error);
    if (!options.vcd_file.isEmpty()) {
        QString reason;
        if (!open_station_vcd(run.vcd, options.vcd_file, QDateTime::currentDateTime(), station_now_ms(),
                              QCoreApplication::arguments(), &reason, run.watch.sides[WATCH_RIG].active,
                              run.watch.sides[WATCH_LOG].active))
            return refuse(run, QStringLiteral("keyline-station: --vcd %1: %2").arg(options.vcd_file, reason));
        run.vcd_identity = path_identity(options.vcd_file);
    }
    // Before the run starts: a refusal leaves no file behind.
    if (!options.port_file.isEmpty() && !write_port_file(run.port_file, options.port_file, run.port, error))
        return refuse(run, QStringLiteral("keyline-station: cannot write the port file %1: %2")
                               .arg(options.port_file, error));
    return 0;
}

}  // namespace

int start_station_run(StationRun& run, const StationOptions& options, QTextStream& err)
{
    run.options = &options;
    run.err = &err;
    int refused = bind_socket(run, options);
    if (refused == 0)
        refused = open_outputs(run, options);
    if (refused != 0)
        return refused;

    // A reader that stops reading must not stop reception: lines that cannot
    // be written now wait in a bounded queue, or are dropped and counted.
    run.out.setDevice(nonblocking_output(1, options.json ? dropped_lines_json : nullptr));
    if (vcd_open(run.vcd.writer)) {
        run.run_err.setDevice(nonblocking_output(2));
        run.vcd.writer.err = &run.run_err;
    }
    run.output.out = &run.out;
    run.output.json = options.json;
    run.output.verbose = options.verbose;
    run.station.table.expect_holds = options.expect_holds;
    run.events.reserve(64);

    StationEvent listening;
    listening.kind = EventKind::Listening;
    listening.address = options.bind_address.toString();
    listening.port = run.port;
    if (options.forward)
        listening.text = options.forward_text;
    listening.watch = watched_text(run.watch);
    write_events(run.output, {listening});

    // The tap forwards on a thread of its own (forward_tap_thread.h); the
    // checking takes what it hands over.
    run.tap.tap.address = options.forward_address;
    run.tap.tap.port = options.forward_port;
    run.tap.tap.text = options.forward_text;
    // Room for every stream the table keeps, and for those it has let go of
    // while the thread has not yet heard so.
    run.tap.tap.max_sockets = 2 * run.station.table.max_streams;
    if (options.forward) {
        run.station.table.forward_errors = 0;
        QString error;
        if (!start_forward_thread(run.tap, run.fd, options.bind_address, error)) {
            remove_port_file(run.port_file);
            return refuse(run, QStringLiteral("keyline-station: cannot start forwarding: %1").arg(error));
        }
    }
    run.run_end_ms = options.duration_ms > 0 ? station_now_ms() + options.duration_ms : -1;
    return 0;
}

void end_station_run(StationRun& run)
{
    stop_forward_thread(run.tap);
    close(run.fd);
    remove_port_file(run.port_file);
    close_station_watch(run.watch);
    close_station_vcd(run.vcd, station_now_ms());
    run.out.flush();
    run.run_err.flush();
    close_nonblocking_outputs();
}
