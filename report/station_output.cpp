#include "report/station_output.h"

#include <QStringList>

#include "common/log_line.h"
#include "report/event_format.h"

void write_events(const StationOutput& output, const StationEvents& events)
{
    for (const StationEvent& event : events) {
        // What the watch saw and the model's own changes are the detail
        // behind its judgements: shown with --verbose.
        if ((event.kind == EventKind::Keepalive || event.kind == EventKind::WatchSeen ||
             event.kind == EventKind::WatchModel) &&
            !output.verbose)
            continue;
        if (output.json) {
            *output.out << event_json(event, log_stamp_now()) << '\n';
            output.out->flush();
        } else {
            write_log_line(*output.out, event_text(event));
        }
    }
}

void write_summary(const StationOutput& output, const StreamTable& table)
{
    if (output.json) {
        *output.out << summary_json(table, log_stamp_now(), output.watch) << '\n';
        output.out->flush();
        return;
    }
    for (const QString& line : summary_text(table, output.watch))
        write_log_line(*output.out, line);
}

QByteArray summary_bytes(const StationOutput& output, const StreamTable& table)
{
    if (output.json)
        return summary_json(table, log_stamp_now(), output.watch).toUtf8() + '\n';
    QByteArray bytes;
    const QString stamp = log_stamp_now();
    for (const QString& line : summary_text(table, output.watch))
        bytes += (stamp + line).toUtf8() + '\n';
    return bytes;
}
