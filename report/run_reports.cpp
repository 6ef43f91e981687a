#include "report/run_reports.h"

#include <QDateTime>
#include <QSysInfo>

#include <unistd.h>

#include "report/junit_report.h"
#include "report/timeline_svg.h"

namespace {

bool open_one(ReportFile& file, const char* option, const QString& path, QString& error)
{
    file.option = option;
    file.path = path;
    if (path.isEmpty())
        return true;
    QString reason;
    file.fd = open_report_file(path, file.created, file.identity, reason);
    if (file.fd >= 0)
        return true;
    error = QStringLiteral("keyline-station: cannot write %1 %2: %3").arg(QLatin1String(option), path, reason);
    return false;
}

bool write_one(ReportFile& file, const QByteArray& bytes, QString& error)
{
    QString reason;
    const bool ok = replace_file_content(file.fd, bytes.constData(), bytes.size(), reason);
    if (!ok)
        error += QStringLiteral("keyline-station: cannot write %1 %2: %3\n")
                     .arg(QLatin1String(file.option), file.path, reason);
    if (::close(file.fd) != 0 && ok)
        error += QStringLiteral("keyline-station: cannot write %1 %2\n").arg(QLatin1String(file.option), file.path);
    file.fd = -1;
    return ok;
}

void discard(ReportFile& file)
{
    if (file.fd < 0)
        return;
    ::close(file.fd);
    file.fd = -1;
    if (file.created)
        remove_if_same(file.path, file.identity);
}

}  // namespace

bool open_run_reports(RunReports& reports, const QString& timeline_file, const QString& junit_file, qint64 now_ms,
                      QString& error)
{
    reports.record.start_ms = now_ms;
    reports.record.wall_start_ms = QDateTime::currentMSecsSinceEpoch();
    if (open_one(reports.timeline, "--timeline", timeline_file, error) &&
        open_one(reports.junit, "--junit", junit_file, error))
        return true;
    discard_run_reports(reports);
    return false;
}

void discard_run_reports(RunReports& reports)
{
    discard(reports.timeline);
    discard(reports.junit);
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
        ok = write_one(reports.timeline, timeline_svg(reports.record, totals), error);
    if (!ok)
        totals.report_error = error.trimmed();
    if (reports.junit.fd >= 0)
        ok = write_one(reports.junit, junit_xml(reports.record, totals, QSysInfo::machineHostName()), error) && ok;
    return ok;
}
