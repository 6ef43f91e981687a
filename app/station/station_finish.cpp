#include "app/station/station_finish.h"

#include <errno.h>
#include <string.h>

#include "app/station/station_run.h"
#include "common/nonblocking_output.h"

namespace {

// How long the end of a run waits for a slow reader to take the summary.
constexpr int FINAL_WRITE_MS = 5000;

qint64 earliest(qint64 a, qint64 b)
{
    return b >= 0 && (a < 0 || b < a) ? b : a;
}

// The summary is what a script reads: it waits for a slow reader (bounded)
// and is never dropped for its length.
void write_final_summary(StationRun& run)
{
    run.out.flush();
    const FinalWrite written =
        finish_nonblocking_output(1, summary_bytes(run.output, run.station.table), FINAL_WRITE_MS);
    if (!written.whole)
        *run.err << QStringLiteral("keyline-station: the summary could not be written: %1")
                        .arg(written.error == EAGAIN
                                 ? QStringLiteral("the output did not take it within %1 s").arg(FINAL_WRITE_MS / 1000)
                                 : QString::fromLocal8Bit(strerror(written.error)))
                 << Qt::endl;
}

}  // namespace

bool enough_holds(StationRun& run)
{
    const StationOptions& options = *run.options;
    if (options.holds <= 0 || run.station.table.holds_ended < options.holds)
        return false;
    if (!watching(run.watch))
        return true;
    const qint64 now = station_now_ms();
    if (run.holds_done_ms < 0)
        run.holds_done_ms = now + options.watch.react_ms + 2 * options.watch.poll_ms + 10;
    return now >= run.holds_done_ms;
}

qint64 next_deadline_ms(const StationRun& run)
{
    qint64 deadline = station_next_deadline_ms(run.station);
    deadline = earliest(deadline, station_watch_deadline_ms(run.watch));
    deadline = earliest(deadline, run.run_end_ms);
    return earliest(deadline, run.holds_done_ms);
}

int finish_station_run(StationRun& run)
{
    run.finished = true;
    const qint64 now = station_now_ms();
    drain_datagrams(run, 1 << 30, now);
    station_tick(run.station, now, run.events);
    flush_suppressed(run.station.limiter, now, true, run.events);
    model_events(run);
    finish_station_watch(run.watch, now, run.events);
    run.modelled = run.events.size();
    close_station_watch(run.watch);
    flush_events(run);
    // Drops after the last datagram taken are known only to the socket.
    StreamTable& table = run.station.table;
    table.kernel_drops = qMax(table.kernel_drops, socket_kernel_drops(run.fd));
    if (run.options->forward)
        table.unchecked = run.tap.unchecked.load();
    const WatchTotals watch_totals = station_watch_totals(run.watch);
    if (watching(run.watch)) {
        run.output.watch = &watch_totals;
        run.reports.record.watch_totals = watch_totals;
    }
    write_final_summary(run);
    run.output.watch = nullptr;
    QString write_error;
    if (!write_run_reports(run.reports, table, now, write_error)) {
        *run.err << write_error;
        run.err->flush();
        return EXIT_USAGE;
    }
    return table_problems(table) + station_watch_problems(run.watch) > 0 ? EXIT_PROBLEMS : EXIT_CLEAN;
}
