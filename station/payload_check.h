#pragma once
// One inhibit payload checked the way a careful station checks it:
//   {"tx_inhibit":1,"ttl_ms":600,"station":"TEST-KEY","band":"144","seq":1}
// - valid JSON, read strictly with nesting limited, whose top level is one
//   object; keys in any order (JSON objects are unordered); keys besides these
//   five are ignored, so a newer sender may add some;
// - each of the five keys exactly once: a repeated one is refused, since
//   parsers disagree over which copy wins;
// - tx_inhibit, ttl_ms, seq whole numbers written without fraction or
//   exponent (1.0 and 1e0 are refused); tx_inhibit 1, ttl_ms 0..2^31-1
//   (0 is a RELEASE), seq 1..2^53; station and band strings;
// - at most MAX_PAYLOAD_BYTES, so a huge datagram costs one length check.

#include <QString>
#include <QtGlobal>

#include "common/inhibit_limits.h"
#include "station/json_object_scan.h"

constexpr int MAX_PAYLOAD_BYTES = MAX_INHIBIT_PAYLOAD_BYTES;
constexpr qint64 MAX_SEQ = 9007199254740992LL;  // 2^53
constexpr qint64 MAX_TTL_MS = 2147483647LL;     // 2^31 - 1

struct InhibitFields {
    qint32 ttl_ms = 0;
    qint64 seq = 0;
    // The string bodies inside the datagram (valid while it is): decoded
    // only when a stream's texts change (field_text).
    JsonSpan station;
    JsonSpan band;
};

struct PayloadCheck {
    bool ok = false;
    InhibitFields fields;  // when ok
    QString reason;        // when not: "not JSON (...)", "missing seq", ...
};

PayloadCheck check_payload(const char* data, int size);

// The text of a string field as sent (not escaped).
QString field_text(const JsonSpan& body);
