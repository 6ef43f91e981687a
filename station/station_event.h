#pragma once
// One thing the station reports: a plain record whose fields apply by kind
// (-1 or an empty text where a field does not apply). Texts from datagrams
// are already escaped (text_escape.h) when they are put here.

#include <QString>
#include <QtGlobal>

#include <utility>
#include <vector>

enum class EventKind {
    Listening,
    Hold,
    Keepalive,
    Release,
    Lapse,
    Resume,
    SeqGap,
    SeqDuplicate,
    SeqBackwards,
    Malformed,
    Suppressed,
    Evicted,
    Note,
    Restart,
    ForwardFailed,
    Untracked,  // a sender not followed: every stream held when it came
};

struct StationEvent {
    EventKind kind = EventKind::Note;
    qint64 at_ms = -1;     // when it happened on the station's clock (station_now_ms)
    QString from;          // "address:port"
    QString station;       // escaped
    QString band;          // escaped
    qint64 seq = -1;
    qint64 ttl_ms = -1;
    qint64 interval_ms = -1;     // keepalive
    qint64 hold_ms = -1;         // release
    qint64 keepalives = -1;      // release
    qint64 max_silence_ms = -1;  // release
    qint64 margin_ms = -1;       // release: least ttl left at any datagram of the hold
    qint64 silence_ms = -1;      // lapse
    qint64 outage_ms = -1;       // resume: from the last datagram before the lapse to this one
    qint64 missing = -1;         // seq_gap
    qint64 highest_seq = -1;     // seq_duplicate, seq_backwards, restart: of the run before
    qint64 count = -1;           // suppressed: datagrams; untracked: datagrams so far
    qint64 senders = -1;         // suppressed: how many senders sent them
    bool ended_hold = false;     // restart: the run before still held (hold_ms long)
    qint64 size = -1;            // malformed: datagram bytes
    QString text;                // malformed, forward_failed: reason; note: the note;
                                 // listening: where it forwards, if it does
    QString excerpt;             // malformed: the payload's start, escaped
    QString address;             // listening; forward_failed: where to
    // suppressed: the datagrams of each sender told apart ("address:port",
    // count); what count holds beyond their sum came from senders not told apart.
    std::vector<std::pair<QString, qint64>> per_sender;
    int port = -1;               // listening
};

using StationEvents = std::vector<StationEvent>;

const char* event_name(EventKind kind);  // "hold", "seq_gap", ...
