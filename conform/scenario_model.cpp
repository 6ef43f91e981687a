#include "conform/scenario_model.h"

#include <QHostAddress>

#include "conform/scenarios.h"

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

qint64 scenario_length_ms(const Scenario& scenario, qint64 react_ms)
{
    const std::vector<ModelSpan> spans = planned_model(scenario);
    qint64 last = scenario.last_send_ms;
    for (const ModelSpan& span : spans)
        last = qMax(last, span.end_ms);
    return last + qMax(CONFORM_TAIL_MS, 2 * react_ms + 400);
}

qint64 run_length_ms(const std::vector<const Scenario*>& scenarios, qint64 react_ms)
{
    qint64 total = 0;
    for (const Scenario* scenario : scenarios)
        total += CONFORM_SETTLE_MS + scenario_length_ms(*scenario, react_ms);
    return total;
}
