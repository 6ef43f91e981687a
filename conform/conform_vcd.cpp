#include "conform/conform_vcd.h"

#include <algorithm>
#include <vector>

#include "conform/scenarios.h"

namespace {

enum Wire { SENT_A, SENT_B, SENT_FLOOD, MODEL, OBSERVED, SCENARIO, WIRES };

struct Change {
    qint64 at_ms;
    int wire;
    int value;  // -1: a mark
};

}  // namespace

bool open_conform_vcd(ConformVcd& vcd, const QString& path, const QDateTime& start, qint64 run_start_ms,
                      const QStringList& arguments, const QString& observed_wire, QString* error)
{
    vcd.run_start_ms = vcd.written_ms = run_start_ms;
    const QStringList wires = {QStringLiteral("sent_a"), QStringLiteral("sent_b"), QStringLiteral("sent_flood"),
                               QStringLiteral("model_inhibit"), observed_wire, QStringLiteral("scenario")};
    const VcdHeader header = vcd_header(run_header_fields(start, arguments, QStringLiteral("conform"), wires));
    vcd.writer.option_text = QStringLiteral("keyline-conform: --vcd ") + path;
    return open_vcd_writer(vcd.writer, path, header, WIRES, error);
}

void conform_vcd_scenario(ConformVcd& vcd, const ScenarioResult& result, const ObservedLane& observed)
{
    if (!vcd_open(vcd.writer))
        return;
    std::vector<Change> changes;
    changes.push_back({result.start_ms, SCENARIO, 1});
    changes.push_back({result.end_ms, SCENARIO, 0});
    for (const SentRecord& sent : result.sent) {
        const Source source = result.scenario->sends[sent.send_index].source;
        changes.push_back({sent.at_ms, source == Source::AgentA ? SENT_A : source == Source::AgentB ? SENT_B
                                                                                                   : SENT_FLOOD,
                           -1});
    }
    for (const ModelSpan& span : result.model) {
        changes.push_back({span.start_ms, MODEL, 1});
        changes.push_back({span.end_ms < 0 ? result.end_ms : span.end_ms, MODEL, 0});
    }
    for (const ObservedChange& change : observed.changes)
        if (change.at_ms >= vcd.written_ms && change.at_ms < result.end_ms)
            changes.push_back({change.at_ms, OBSERVED, change.on ? 1 : 0});
    std::stable_sort(changes.begin(), changes.end(),
                     [](const Change& a, const Change& b) { return a.at_ms < b.at_ms; });
    for (const Change& change : changes) {
        const qint64 t_us = (change.at_ms - vcd.run_start_ms) * 1000;
        if (change.value < 0)
            vcd_write_mark(vcd.writer, t_us, change.wire);
        else
            vcd_write_level(vcd.writer, t_us, change.wire, change.value != 0);
    }
    vcd.written_ms = result.end_ms;
}

void close_conform_vcd(ConformVcd& vcd, qint64 end_ms)
{
    if (vcd_open(vcd.writer))
        close_vcd_writer(vcd.writer, (end_ms - vcd.run_start_ms) * 1000);
}
