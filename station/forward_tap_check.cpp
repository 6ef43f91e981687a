#include "station/forward_tap_check.h"

namespace {

StationEvent forward_failed(const ForwardThread& t, const TapRecord& record, const QString& text)
{
    StationEvent event;
    event.kind = EventKind::ForwardFailed;
    event.at_ms = record.arrival_ms;
    event.from = sender_text(record.sender);
    event.address = t.tap.text;
    event.text = text;
    return event;
}

}  // namespace

void check_tap_record(ForwardThread& t, TapChecking& checking, Station& station, const TapRecord& record,
                      const char* data, int size, StationEvents& events)
{
    StreamTable& table = station.table;
    table.kernel_drops = qMax(table.kernel_drops, record.kernel_drops);
    if (record.kind == TapRecord::CameBack) {
        // Not sent on again, and not a sender under test.
        ++table.forward_errors;
        if (checking.came_back_report_ms < 0 || record.arrival_ms - checking.came_back_report_ms >= 1000) {
            checking.came_back_report_ms = record.arrival_ms;
            events.push_back(forward_failed(
                t, record, QStringLiteral("came back from the forward target, not sent on again")));
        }
        return;
    }
    if (record.error != 0) {
        ++table.forward_errors;
        if (record.report)
            events.push_back(forward_failed(t, record, forward_error_text(record.error)));
    }
    if (record.own_socket)
        checking.forwarded.insert(record.sender);
    const qint64 evicted = table.evicted;
    receive_payload(station, record.sender, record.arrival_ms, data, size, events);

    // A socket lives as long as its stream, no longer: this sender may have
    // been refused a place, others evicted.
    auto gone = [&](std::unordered_set<SenderId, SenderIdHash>::iterator it) {
        if (table.streams.count(*it) != 0)
            return std::next(it);
        tap_stream_gone(t, *it, record.serial);
        return checking.forwarded.erase(it);
    };
    if (table.evicted == evicted) {
        const auto it = checking.forwarded.find(record.sender);
        if (it != checking.forwarded.end())
            gone(it);
        return;
    }
    for (auto it = checking.forwarded.begin(); it != checking.forwarded.end();)
        it = gone(it);
}
