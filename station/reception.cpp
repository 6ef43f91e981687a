#include "station/reception.h"

#include "station/payload_check.h"
#include "common/text_escape.h"

namespace {

// Every event from first on happened at at_ms.
void stamp_events(StationEvents& events, size_t first, qint64 at_ms)
{
    for (size_t i = first; i < events.size(); ++i)
        events[i].at_ms = at_ms;
}

}  // namespace

static void receive_checked(Station& station, const SenderId& sender, qint64 arrival_ms, const char* data,
                     int size, StationEvents& events);

void receive_payload(Station& station, const SenderId& sender, qint64 arrival_ms, const char* data,
                     int size, StationEvents& events)
{
    const size_t first = events.size();
    receive_checked(station, sender, arrival_ms, data, size, events);
    stamp_events(events, first, arrival_ms);
}

static void receive_checked(Station& station, const SenderId& sender, qint64 arrival_ms, const char* data,
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
    const size_t first = events.size();
    expire_holds(station.table, now_ms, events);
    flush_suppressed(station.limiter, now_ms, false, events);
    stamp_events(events, first, now_ms);
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
