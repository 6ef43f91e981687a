#include "station/run_reports.h"

#include <QDateTime>
#include <QSysInfo>

#include "station/junit_report.h"
#include "station/station_options.h"
#include "station/timeline_svg.h"

namespace {

bool open_one(std::unique_ptr<QFile>& file, const char* option, const QString& path, QString& error)
{
    if (path.isEmpty())
        return true;
    file = std::make_unique<QFile>(path);
    if (file->open(QIODevice::WriteOnly | QIODevice::Truncate))
        return true;
    error = QStringLiteral("keyline-station: cannot write %1 %2: %3").arg(QLatin1String(option), path,
                                                                           file->errorString());
    file.reset();
    return false;
}

bool write_one(std::unique_ptr<QFile>& file, const char* option, const QByteArray& bytes, QString& error)
{
    const bool ok = file->write(bytes) == bytes.size() && file->flush();
    if (!ok)
        error += QStringLiteral("keyline-station: cannot write %1 %2: %3\n")
                     .arg(QLatin1String(option), file->fileName(), file->errorString());
    file->close();
    return ok;
}

}  // namespace

bool open_run_reports(RunReports& reports, const StationOptions& options, qint64 now_ms, QString& error)
{
    reports.record.start_ms = now_ms;
    reports.record.wall_start_ms = QDateTime::currentMSecsSinceEpoch();
    return open_one(reports.timeline, "--timeline", options.timeline_file, error) &&
           open_one(reports.junit, "--junit", options.junit_file, error);
}

void collect_events(RunReports& reports, const StationEvents& events)
{
    if (reports.timeline || reports.junit)
        record_events(reports.record, events);
}

bool write_run_reports(RunReports& reports, const StreamTable& table, qint64 end_ms, QString& error)
{
    if (!reports.timeline && !reports.junit)
        return true;
    end_run_record(reports.record, end_ms);
    bool ok = true;
    if (reports.timeline)
        ok = write_one(reports.timeline, "--timeline", timeline_svg(reports.record, run_totals(table)), error) && ok;
    if (reports.junit)
        ok = write_one(reports.junit, "--junit", junit_xml(reports.record, QSysInfo::machineHostName()), error) && ok;
    return ok;
}
