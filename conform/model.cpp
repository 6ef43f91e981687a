#include "conform/model.h"

#include <QHostAddress>

#include "station/reception.h"

namespace {

bool any_holding(const StreamTable& table)
{
    for (const auto& entry : table.streams)
        if (entry.second.holding)
            return true;
    return false;
}

// Notes the inhibit's level after something happened at t_ms.
void note_level(std::vector<ModelSpan>& spans, bool holding, qint64 t_ms)
{
    const bool was = !spans.empty() && spans.back().end_ms < 0;
    if (holding && !was) {
        ModelSpan span;
        span.start_ms = t_ms;
        spans.push_back(span);
    } else if (!holding && was) {
        spans.back().end_ms = t_ms;
    }
}

// Expiries due before t_ms (a datagram at the expiry itself is late).
void expire_until(Station& station, qint64 t_ms, StationEvents& events, std::vector<ModelSpan>& spans)
{
    for (;;) {
        const qint64 expiry = next_expiry_ms(station.table);
        if (expiry < 0 || expiry > t_ms)
            return;
        expire_holds(station.table, expiry, events);
        note_level(spans, any_holding(station.table), expiry);
        events.clear();
    }
}

}  // namespace

std::vector<ModelSpan> model_inhibit(const std::vector<SentDatagram>& sent, qint64 end_ms)
{
    Station station;
    StationEvents events;
    std::vector<ModelSpan> spans;
    for (const SentDatagram& datagram : sent) {
        expire_until(station, datagram.at_ms, events, spans);
        for (int i = 0; i < datagram.copies; ++i) {
            receive_payload(station, datagram.from, datagram.at_ms, datagram.payload->constData(),
                            datagram.payload->size(), events);
            events.clear();
        }
        note_level(spans, any_holding(station.table), datagram.at_ms);
    }
    expire_until(station, end_ms, events, spans);
    return spans;
}

bool model_holds(const std::vector<ModelSpan>& spans, qint64 t_ms)
{
    for (const ModelSpan& span : spans)
        if (t_ms >= span.start_ms && (span.end_ms < 0 || t_ms < span.end_ms))
            return true;
    return false;
}
