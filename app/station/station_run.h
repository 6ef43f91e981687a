#pragma once
// One run of keyline-station as main wires it: the socket it listens on,
// the table of streams, the tap, the watch of the station under test, the
// outputs, and the events on their way from the checking to the reporters.
// Events are handed to every reporter once per flush, in the order they were
// made: the VCD, the timeline and JUnit record, then the log.

#include <QTextStream>

#include <vector>

#include "app/station/port_file.h"
#include "app/station/station_options.h"
#include "report/run_reports.h"
#include "report/station_output.h"
#include "report/station_vcd.h"
#include "station/forward_tap_check.h"
#include "station/reception.h"
#include "station/station_watch.h"
#include "station/udp_receiver.h"

struct StationRun {
    const StationOptions* options = nullptr;
    QTextStream* err = nullptr;  // refusals and write errors

    int fd = -1;        // the inhibit socket
    quint16 port = 0;   // where it listens
    QueueReading queue;
    Station station;
    StationWatch watch;
    ForwardThread tap;
    TapChecking tap_checking;

    QTextStream out;      // standard output, never blocking
    QTextStream run_err;  // a gap or a failed write of the VCD, said once
    StationOutput output;
    RunReports reports;
    StationVcd vcd;
    FileIdentity vcd_identity;
    PortFile port_file;

    StationEvents events;
    std::vector<char> buffer = std::vector<char>(65536);
    size_t modelled = 0;  // events the watch's model has seen
    StationEvents model_changes;
    qint64 run_end_ms = -1;     // --duration's end on the station's clock
    qint64 holds_done_ms = -1;  // with a watch, when enough holds have been watched
    bool finished = false;
};

// The model's changes from the events not yet modelled, appended to them.
void model_events(StationRun& run);
// Everything up to now is known (datagrams drained, lapses ticked): the
// watch judges the station under test.
void judge_watch(StationRun& run, qint64 now_ms);
// Hands the events to the reporters and clears them.
void flush_events(StationRun& run);
// Takes up to limit queued datagrams (from the socket, or what the tap's
// thread handed over); with a horizon, stops after the first one received
// later than that (nothing later can count for it).
void drain_datagrams(StationRun& run, int limit, qint64 horizon_ms);
// Everything due by now: every queued datagram, the lapses, the watch's
// judgement, then the reporters.
void catch_up(StationRun& run, qint64 now_ms);
