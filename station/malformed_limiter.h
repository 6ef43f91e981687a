#pragma once
// Malformed datagrams are all counted, but only a few are shown: at most
// PER_SENDER_PER_SECOND per sender in that sender's second (which starts at
// its first malformed datagram) and GLOBAL_PER_SECOND in all per second. The
// rest are reported together, however many senders there are: at most one
// `suppressed` event a second, with the count of datagrams and of senders,
// once its second is over or at the end. At most MAX_LIMITER_SENDERS senders'
// seconds are remembered (giving one up only lets that sender be shown again
// within the limit in all), and the senders of one report are told apart, each
// with its count, up to MAX_COUNTED_SENDERS (the event lists them, so the
// reports can give every sender its own; the rest are counted together).

#include <QtGlobal>

#include <deque>
#include <unordered_map>
#include <utility>

#include "station/sender_id.h"
#include "station/station_event.h"

constexpr int PER_SENDER_PER_SECOND = 5;
constexpr int GLOBAL_PER_SECOND = 20;
constexpr int MAX_LIMITER_SENDERS = 256;
constexpr int MAX_COUNTED_SENDERS = 65536;

struct SenderWindow {
    qint64 order = 0;  // when the entry was made, for giving up the oldest
    qint64 start_ms = 0;
    int shown = 0;
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

    // The report being gathered: from its first suppressed datagram on.
    qint64 report_start_ms = -1;
    qint64 suppressed = 0;
    std::unordered_map<SenderId, qint64, SenderIdHash> suppressed_from;  // datagrams per sender
};

// Whether this malformed datagram is shown; when not, it is counted for the
// next report.
bool allow_malformed(MalformedLimiter& limiter, const SenderId& sender, qint64 now_ms,
                     StationEvents& events);

// Reports what was suppressed once its second is over at now_ms (with
// everything, whatever there is: at the end of the run), and forgets the
// senders' seconds that are over.
void flush_suppressed(MalformedLimiter& limiter, qint64 now_ms, bool everything,
                      StationEvents& events);

// When the report being gathered is due, or -1.
qint64 next_suppressed_report_ms(const MalformedLimiter& limiter);
