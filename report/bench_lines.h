#pragma once
// The words of keyline-bench's log: the send log line, the FAULT lines and
// their counts, as text after the time stamp and as JSON fields.

#include <QString>

#include "common/fault_action.h"
#include "common/inhibit_kind.h"
#include "hold/inhibit_sender.h"

struct JsonLine;

// "  HOLD  ttl_ms=600  -> 127.0.0.1:22372  (holds=1 ka=0 rel=0)" and, on a
// RELEASE with a non-empty note, "  (note)"; without the line feed.
QString send_log_text(InhibitKind kind, int ttl_ms, const QString& host_text, quint16 port,
                      const SendCounters& counters, const char* note);
// The same with the destinations already joined, e.g.
// "127.0.0.1:22372, 127.0.0.1:22400".
QString send_log_text(InhibitKind kind, int ttl_ms, const QString& destinations,
                      const SendCounters& counters, const char* note);
// The same line's fields as a JSON line: seq, ttl_ms, to, the counters and,
// on a RELEASE, the note.
void send_log_json(JsonLine& line, qint64 seq, int ttl_ms, const QString& destinations,
                   const SendCounters& counters, InhibitKind kind, const char* note);

// " FAULT  dropped KEEPALIVE seq=7" and the like, after the time stamp,
// without the line feed.
QString fault_log_text(const FaultAction& action);
// The same fault's fields for a "fault" JSON line: action, datagram, seq and
// the action's own figure (bit, delay_ms, after_seq, after_ms or copy_after_ms).
void fault_json(JsonLine& line, const FaultAction& action);

// "faults: dropped 3, duplicated 1, reordered 0, corrupted 0, delayed 41, muted 1"
QString fault_counts_text(const FaultCounts& counts);
// The same counts as the fields of a "faults" JSON line.
void fault_counts_json(JsonLine& line, const FaultCounts& counts);
