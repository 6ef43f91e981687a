#include "app/key_line_report.h"

#include "common/log_line.h"
#include "hold/bench_log.h"

void report_key_source_lost(KeyLineReport& r, const QString& reason)
{
    if (r.said_lost)
        return;
    r.said_lost = true;
    if (r.json) {
        JsonLine line = bench_event(*r.json, "key_source_lost");
        add_text(line, "source", r.source);
        add_text(line, "reason", reason);
        write_bench_event(*r.json, line);
    } else if (r.err) {
        write_log_line(*r.err, QStringLiteral("  KEY source lost: %1 (%2); the KEY keeps its last level until %3")
                                   .arg(r.source, reason, r.until));
    }
}

void report_key_source_found(KeyLineReport& r)
{
    if (!r.said_lost)
        return;
    r.said_lost = false;
    if (r.json) {
        JsonLine line = bench_event(*r.json, "key_source_found");
        add_text(line, "source", r.source);
        write_bench_event(*r.json, line);
    } else if (r.err) {
        write_log_line(*r.err, QStringLiteral("  KEY source found: %1").arg(r.source));
    }
}
