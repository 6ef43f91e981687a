#pragma once
// The checker's side of the tap: each datagram the tap's thread handed over
// is counted for what its forwarding met, then checked like any other; and
// the thread hears which streams are gone, so their sockets go with them.

#include <unordered_set>

#include "station/forward_tap_thread.h"
#include "station/reception.h"
#include "station/sender_id.h"
#include "station/station_event.h"

struct TapChecking {
    std::unordered_set<SenderId, SenderIdHash> forwarded;  // streams with a socket of their own
    qint64 came_back_report_ms = -1;
};

// One record that is not a marker, its data the datagram.
void check_tap_record(ForwardThread& t, TapChecking& checking, Station& station, const TapRecord& record,
                      const char* data, int size, StationEvents& events);
