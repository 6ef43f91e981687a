#pragma once
// The station's view of the inhibit, per stream (one sender address:port),
// driven by arrival times in milliseconds since the epoch (the kernel's
// receive time in the program, a fake clock in tests).
//
// A datagram with ttl_ms > 0 starts a hold or extends it to arrival + ttl_ms;
// ttl_ms 0 ends it (RELEASE). A holding stream that hears nothing until its
// expiry has lapsed: the moment a station lets its transmitter go. Sequence
// numbers are checked against the highest so far; a duplicate or a backwards
// datagram is reported and otherwise ignored: it changes nothing, not even the
// names shown. Every sender starts at seq 1, so a seq 1 from a known stream
// is a restart (a new run that got the same source port), unless it comes
// within REORDER_WINDOW_MS of the first datagram of the current run: then it
// is a late or repeated datagram of that run. A restart ends what the run
// before still held (not a lapse, not a problem) and starts the stream's
// sequence afresh; its counts add up over the runs. At most max_streams streams are
// kept; a new one evicts the least recently heard of those that hold nothing
// (a hold whose expiry has passed is judged first). A stream that holds is
// never evicted, so its lapse cannot go unseen: when every stream holds, the
// new sender is not followed, and each of its datagrams is counted as
// untracked, a problem (the checker cannot vouch for what it cannot track).

#include <QString>
#include <QtGlobal>

#include <unordered_map>

#include "station/payload_check.h"
#include "station/sender_id.h"
#include "station/station_event.h"

constexpr int MAX_STREAMS = 256;
constexpr qint64 REORDER_WINDOW_MS = 100;
// Untracked datagrams are all counted, and said at most once a second.
constexpr qint64 UNTRACKED_REPORT_MS = 1000;

struct Stream {
    QString from;
    QString station;      // escaped, from the latest datagram
    QString band;         // escaped
    QByteArray raw_station;  // the bytes sent, to decode and escape only on a change
    QByteArray raw_band;
    qint64 first_order = 0;   // for listing streams in the order first heard
    qint64 last_heard_ms = 0;
    qint64 highest_seq = 0;   // 0: nothing in order yet
    qint64 run_start_ms = -1; // first datagram of the current run

    bool holding = false;
    bool lapsed = false;      // the last hold ended in a lapse, nothing since
    qint64 hold_start_ms = -1;
    qint64 last_arrival_ms = -1;  // last in-order datagram
    qint32 last_ttl_ms = 0;
    qint64 expiry_ms = -1;
    qint64 keepalives = 0;
    qint64 max_silence_ms = 0;
    qint64 margin_ms = 0;

    qint64 holds = 0;
    qint64 lapses = 0;
    qint64 seq_problems = 0;
};

struct StreamTable {
    std::unordered_map<SenderId, Stream, SenderIdHash> streams;
    int max_streams = MAX_STREAMS;
    qint64 next_order = 0;

    // Whole run, evicted streams included.
    qint64 holds = 0;
    qint64 holds_ended = 0;  // released or lapsed (not ended by a restart)
    qint64 lapses = 0;
    qint64 seq_problems = 0;
    qint64 malformed = 0;
    qint64 evicted = 0;
    qint64 restarts = 0;
    qint64 untracked = 0;           // datagrams of senders refused for a full table
    qint64 untracked_said_ms = -1;  // when an untracked event was last given
    qint64 full_until_ms = -1;      // every stream holds until at least then; -1: look
    qint64 expect_holds = -1;  // fewer holds ended than this is a problem; -1: no expectation
    qint64 forward_errors = -1;  // -1: not forwarding (--forward)
};

// One valid datagram from a sender; events are appended in order.
void track_datagram(StreamTable& table, const SenderId& sender, qint64 arrival_ms,
                    const InhibitFields& fields, StationEvents& events);

// Lapses of every hold whose expiry is at or before now_ms.
void expire_holds(StreamTable& table, qint64 now_ms, StationEvents& events);

// The earliest expiry of a hold, or -1 when nothing holds.
qint64 next_expiry_ms(const StreamTable& table);

// Lapses, sequence problems, malformed datagrams, untracked datagrams,
// forward errors, and 1 when fewer holds ended than expected.
qint64 table_problems(const StreamTable& table);
bool too_few_holds(const StreamTable& table);
