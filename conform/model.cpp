#include "conform/model.h"

#include <QHostAddress>

#include "conform/scenarios.h"
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

std::vector<ModelSpan> planned_model(const Scenario& scenario)
{
    std::vector<SentDatagram> sent;
    sent.reserve(scenario.sends.size());
    for (const ScheduledSend& send : scenario.sends) {
        SentDatagram datagram;
        datagram.at_ms = send.at_ms;
        datagram.from = sender_id(QHostAddress(QHostAddress::LocalHost), 40000 + static_cast<int>(send.source));
        datagram.payload = &send.payload;
        datagram.copies = send.copies;
        sent.push_back(datagram);
    }
    return model_inhibit(sent, scenario.last_send_ms + 100000);
}

std::vector<ModelSpan> sent_model(const Scenario& scenario, const std::vector<SentRecord>& sent, qint64 end_ms)
{
    std::vector<SentDatagram> datagrams;
    datagrams.reserve(sent.size());
    for (const SentRecord& record : sent) {
        if (record.sent == 0)
            continue;  // the socket refused it: the station cannot have it
        SentDatagram datagram;
        datagram.at_ms = record.at_ms;
        datagram.from = sender_id(QHostAddress(QHostAddress::LocalHost), record.source_port);
        datagram.payload = &scenario.sends[record.send_index].payload;
        datagram.copies = record.sent;
        datagrams.push_back(datagram);
    }
    return model_inhibit(datagrams, end_ms);
}

bool model_holds(const std::vector<ModelSpan>& spans, qint64 t_ms)
{
    for (const ModelSpan& span : spans)
        if (t_ms >= span.start_ms && (span.end_ms < 0 || t_ms < span.end_ms))
            return true;
    return false;
}
