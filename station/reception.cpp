#include "station/reception.h"

#include "station/payload_check.h"
#include "station/text_escape.h"

void receive_payload(Station& station, const SenderId& sender, qint64 arrival_ms, const char* data,
                     int size, StationEvents& events)
{
    const PayloadCheck check = check_payload(data, size);
    if (check.ok) {
        track_datagram(station.table, sender, arrival_ms, check.fields, events);
        return;
    }
    ++station.table.malformed;
    if (!allow_malformed(station.limiter, sender, arrival_ms, events))
        return;
    StationEvent event;
    event.kind = EventKind::Malformed;
    event.from = sender_text(sender);
    event.text = check.reason;
    event.size = size;
    event.excerpt = escape_bytes(data, qMin(size, MALFORMED_EXCERPT_BYTES));
    events.push_back(event);
}

void station_tick(Station& station, qint64 now_ms, StationEvents& events)
{
    expire_holds(station.table, now_ms, events);
    flush_suppressed(station.limiter, now_ms, false, events);
}

qint64 station_next_deadline_ms(const Station& station)
{
    const qint64 expiry = next_expiry_ms(station.table);
    const qint64 report = next_suppressed_report_ms(station.limiter);
    if (expiry < 0)
        return report;
    if (report < 0)
        return expiry;
    return qMin(expiry, report);
}
