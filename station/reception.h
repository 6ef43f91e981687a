#pragma once
// What the station does with each datagram it receives: check the payload,
// track the stream, or count and (rate-limited) report it as malformed.

#include <QtGlobal>

#include "station/malformed_limiter.h"
#include "station/sender_id.h"
#include "station/station_event.h"
#include "station/stream_table.h"

constexpr int MALFORMED_EXCERPT_BYTES = 48;

struct Station {
    StreamTable table;
    MalformedLimiter limiter;
};

void receive_payload(Station& station, const SenderId& sender, qint64 arrival_ms, const char* data,
                     int size, StationEvents& events);

// Lapses due at now_ms and suppressed counts whose second is over.
void station_tick(Station& station, qint64 now_ms, StationEvents& events);

// When station_tick next has something to do, or -1.
qint64 station_next_deadline_ms(const Station& station);
