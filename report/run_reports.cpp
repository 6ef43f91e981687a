#include "report/run_reports.h"

#include <QDateTime>
#include <QSysInfo>

#include "report/junit_report.h"
#include "report/timeline_svg.h"

namespace {

const char PROGRAM[] = "keyline-station";

}  // namespace

bool open_run_reports(RunReports& reports, const QString& timeline_file, const QString& junit_file, qint64 now_ms,
                      QString& error)
{
    reports.record.start_ms = now_ms;
    reports.record.wall_start_ms = QDateTime::currentMSecsSinceEpoch();
    if (open_report(reports.timeline, PROGRAM, "--timeline", timeline_file, error) &&
        open_report(reports.junit, PROGRAM, "--junit", junit_file, error))
        return true;
    discard_run_reports(reports);
    return false;
}

void discard_run_reports(RunReports& reports)
{
    discard_report(reports.timeline);
    discard_report(reports.junit);
}

void collect_events(RunReports& reports, const StationEvents& events)
{
    if (reports.timeline.fd >= 0 || reports.junit.fd >= 0)
        record_events(reports.record, events);
}

bool write_run_reports(RunReports& reports, const StreamTable& table, qint64 end_ms, QString& error)
{
    if (reports.timeline.fd < 0 && reports.junit.fd < 0)
        return true;
    end_run_record(reports.record, end_ms);
    RunTotals totals = run_totals(table);
    bool ok = true;
    // The picture first, so that the report can say it was lost.
    if (reports.timeline.fd >= 0)
        ok = write_report(reports.timeline, PROGRAM, timeline_svg(reports.record, totals), error);
    if (!ok)
        totals.report_error = error.trimmed();
    if (reports.junit.fd >= 0)
        ok = write_report(reports.junit, PROGRAM, junit_xml(reports.record, totals, QSysInfo::machineHostName()), error) &&
             ok;
    return ok;
}
