#include "station/payload_check.h"

#include <cstring>

#include "station/json_object_scan.h"

namespace {

enum Key { TX_INHIBIT, TTL_MS, STATION, BAND, SEQ, KEY_COUNT };
const char* const KEY_NAMES[KEY_COUNT] = {"tx_inhibit", "ttl_ms", "station", "band", "seq"};

struct Span {
    JsonSpan value;
    int seen = 0;  // how many members had this key
};

int key_index(const char* begin, int size, bool escaped)
{
    if (escaped) {
        // A key written with escapes ("s\u0065q") is compared as decoded.
        const QString name = decode_json_string(begin, size, true);
        for (int k = 0; k < KEY_COUNT; ++k)
            if (name == QLatin1String(KEY_NAMES[k]))
                return k;
        return -1;
    }
    for (int k = 0; k < KEY_COUNT; ++k)
        if (static_cast<int>(std::strlen(KEY_NAMES[k])) == size && std::memcmp(KEY_NAMES[k], begin, size) == 0)
            return k;
    return -1;
}

struct KnownMembers : JsonMemberSink {
    Span spans[KEY_COUNT];

    void member(const char* key, int key_size, bool key_escaped, const JsonSpan& value) override
    {
        const int k = key_index(key, key_size, key_escaped);
        if (k >= 0) {
            spans[k].value = value;
            ++spans[k].seen;
        }
    }
};

enum class Whole { Ok, NotWhole, TooLarge, Signed };

// A number token written as an integer: digits, no fraction or exponent. The
// fields are written without a sign, so a minus (even "-0") is Signed.
Whole whole_number(const Span& span, qint64 limit, qint64& value)
{
    const char* p = span.value.begin;
    const char* end = p + span.value.size;
    const bool negative = p < end && *p == '-';
    if (negative)
        ++p;
    if (p == end)
        return Whole::NotWhole;
    qint64 magnitude = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9')
            return Whole::NotWhole;  // a string, a fraction, an exponent, true...
        if (magnitude > limit)
            continue;  // keep checking the form; the value is too large anyway
        magnitude = magnitude * 10 + (*p - '0');
    }
    value = magnitude;
    if (negative)
        return Whole::Signed;
    if (magnitude > limit)
        return Whole::TooLarge;
    return Whole::Ok;
}

QString missing_or(const char* name, const QString& problem, const Span& span)
{
    if (span.seen == 0)
        return QStringLiteral("missing %1").arg(QLatin1String(name));
    return problem;
}

bool read_string(const Span& span, JsonSpan& body)
{
    if (span.seen == 0 || span.value.begin[0] != '"')
        return false;
    body.begin = span.value.begin + 1;
    body.size = span.value.size - 2;
    body.escaped = span.value.escaped;
    return true;
}

PayloadCheck refused(const QString& reason)
{
    PayloadCheck check;
    check.reason = reason;
    return check;
}

}  // namespace

QString field_text(const JsonSpan& body)
{
    return decode_json_string(body.begin, body.size, body.escaped);
}

PayloadCheck check_payload(const char* data, int size)
{
    if (size > MAX_PAYLOAD_BYTES)
        return refused(QStringLiteral("too large (%1 bytes, at most %2)").arg(size).arg(MAX_PAYLOAD_BYTES));

    KnownMembers members;
    QString error;
    const JsonScan scan = scan_json_object(data, size, members, error);
    if (scan == JsonScan::Invalid)
        return refused(QStringLiteral("not JSON (%1)").arg(error));
    if (scan == JsonScan::NotObject)
        return refused(QStringLiteral("not an object"));
    const Span* spans = members.spans;
    for (int k = 0; k < KEY_COUNT; ++k)
        if (spans[k].seen > 1)
            return refused(QStringLiteral("duplicate key %1").arg(QLatin1String(KEY_NAMES[k])));

    PayloadCheck check;
    qint64 value = 0;

    const Span& tx = spans[TX_INHIBIT];
    if (tx.seen == 0)
        return refused(QStringLiteral("missing tx_inhibit"));
    const Whole tx_form = whole_number(tx, MAX_SEQ, value);
    if (tx_form == Whole::NotWhole)
        return refused(QStringLiteral("tx_inhibit not a whole number"));
    if (tx_form != Whole::Ok || value != 1)
        return refused(QStringLiteral("tx_inhibit not 1"));

    const Span& ttl = spans[TTL_MS];
    const Whole ttl_form = ttl.seen ? whole_number(ttl, MAX_TTL_MS, value) : Whole::NotWhole;
    if (ttl_form == Whole::NotWhole)
        return refused(missing_or("ttl_ms", QStringLiteral("ttl_ms not a whole number"), ttl));
    if (ttl_form == Whole::TooLarge)
        return refused(QStringLiteral("ttl_ms above %1").arg(MAX_TTL_MS));
    if (ttl_form == Whole::Signed)
        return refused(value == 0 ? QStringLiteral("ttl_ms with a minus sign") : QStringLiteral("ttl_ms negative"));
    check.fields.ttl_ms = static_cast<qint32>(value);

    if (!read_string(spans[STATION], check.fields.station))
        return refused(missing_or("station", QStringLiteral("station not a string"), spans[STATION]));
    if (!read_string(spans[BAND], check.fields.band))
        return refused(missing_or("band", QStringLiteral("band not a string"), spans[BAND]));

    const Span& seq = spans[SEQ];
    const Whole seq_form = seq.seen ? whole_number(seq, MAX_SEQ, value) : Whole::NotWhole;
    if (seq_form == Whole::NotWhole)
        return refused(missing_or("seq", QStringLiteral("seq not a whole number"), seq));
    if (seq_form == Whole::TooLarge)
        return refused(QStringLiteral("seq above %1").arg(MAX_SEQ));
    if (seq_form == Whole::Signed || value < 1)
        return refused(QStringLiteral("seq below 1"));
    check.fields.seq = value;

    check.ok = true;
    return check;
}
