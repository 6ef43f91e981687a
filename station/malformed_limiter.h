#pragma once
// Malformed datagrams are all counted, but only a few are shown: at most
// PER_SENDER_PER_SECOND per sender in that sender's second (which starts at
// its first malformed datagram) and GLOBAL_PER_SECOND in all per second. The
// rest are reported as one `suppressed` event per sender once its second is
// over, or when its entry makes room for another, or at the end. At most
// MAX_LIMITER_SENDERS senders are remembered.

#include <QtGlobal>

#include <deque>
#include <unordered_map>
#include <utility>

#include "station/sender_id.h"
#include "station/station_event.h"

constexpr int PER_SENDER_PER_SECOND = 5;
constexpr int GLOBAL_PER_SECOND = 20;
constexpr int MAX_LIMITER_SENDERS = 256;

struct SenderWindow {
    qint64 order = 0;  // when the entry was made, for giving up the oldest
    qint64 start_ms = 0;
    int shown = 0;
    qint64 suppressed = 0;
};

struct MalformedLimiter {
    std::unordered_map<SenderId, SenderWindow, SenderIdHash> senders;
    int max_senders = MAX_LIMITER_SENDERS;
    // Entries in the order they were made; a pair whose order no longer
    // matches its entry is stale and skipped. Kept to 2 x max_senders.
    std::deque<std::pair<SenderId, qint64>> made;
    qint64 next_order = 0;
    qint64 global_start_ms = -1;
    int global_shown = 0;
};

// Whether this malformed datagram is shown. Reports (into events) the
// suppressed counts of windows that are over or give up their entry.
bool allow_malformed(MalformedLimiter& limiter, const SenderId& sender, qint64 now_ms,
                     StationEvents& events);

// Reports the suppressed counts of windows over at now_ms and forgets those
// windows; with everything, of all windows (at the end of the run).
void flush_suppressed(MalformedLimiter& limiter, qint64 now_ms, bool everything,
                      StationEvents& events);

// When the earliest window with something suppressed is over, or -1.
qint64 next_suppressed_report_ms(const MalformedLimiter& limiter);
