#include "station/payload_check.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cstring>

namespace {

// The raw text of one member's value, found by a scan of the top level.
struct Span {
    const char* begin = nullptr;
    int size = 0;
    int seen = 0;  // how many members had this key
};

enum Key { TX_INHIBIT, TTL_MS, STATION, BAND, SEQ, KEY_COUNT };
const char* const KEY_NAMES[KEY_COUNT] = {"tx_inhibit", "ttl_ms", "station", "band", "seq"};

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Past a string token whose opening quote is at p.
const char* skip_string(const char* p, const char* end)
{
    for (++p; p < end; ++p) {
        if (*p == '\\')
            ++p;
        else if (*p == '"')
            return p + 1;
    }
    return end;
}

// Past one value starting at p (strings, containers with their nesting, and
// bare words: numbers, true, false, null).
const char* skip_value(const char* p, const char* end)
{
    if (p >= end)
        return end;
    if (*p == '"')
        return skip_string(p, end);
    if (*p == '{' || *p == '[') {
        int depth = 0;
        while (p < end) {
            if (*p == '"') {
                p = skip_string(p, end);
                continue;
            }
            if (*p == '{' || *p == '[')
                ++depth;
            else if ((*p == '}' || *p == ']') && --depth == 0)
                return p + 1;
            ++p;
        }
        return end;
    }
    while (p < end && *p != ',' && *p != '}' && *p != ']' && !is_space(*p))
        ++p;
    return p;
}

int key_index(const char* begin, int size)
{
    // A key written with escapes ("s\u0065q") is compared as decoded.
    if (std::memchr(begin, '\\', size)) {
        const QByteArray wrapped = "[\"" + QByteArray(begin, size) + "\"]";
        const QByteArray name = QJsonDocument::fromJson(wrapped).array().at(0).toString().toUtf8();
        for (int k = 0; k < KEY_COUNT; ++k)
            if (name == KEY_NAMES[k])
                return k;
        return -1;
    }
    for (int k = 0; k < KEY_COUNT; ++k)
        if (static_cast<int>(std::strlen(KEY_NAMES[k])) == size &&
            std::memcmp(KEY_NAMES[k], begin, size) == 0)
            return k;
    return -1;
}

// The document is already known to be one valid JSON object.
void scan_members(const char* p, const char* end, Span spans[KEY_COUNT])
{
    while (p < end && *p != '{')
        ++p;
    ++p;
    while (p < end) {
        while (p < end && (is_space(*p) || *p == ','))
            ++p;
        if (p >= end || *p != '"')
            return;  // the closing brace
        const char* key_end = skip_string(p, end);
        const int k = key_index(p + 1, static_cast<int>(key_end - p) - 2);
        p = key_end;
        while (p < end && (is_space(*p) || *p == ':'))
            ++p;
        const char* value_end = skip_value(p, end);
        if (k >= 0) {
            spans[k].begin = p;
            spans[k].size = static_cast<int>(value_end - p);
            ++spans[k].seen;
        }
        p = value_end;
    }
}

enum class Whole { Ok, NotWhole, TooLarge };

// A number token written as an integer: -?digits, no fraction or exponent.
Whole whole_number(const Span& span, qint64 limit, qint64& value)
{
    const char* p = span.begin;
    const char* end = p + span.size;
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
    if (!negative && magnitude > limit)
        return Whole::TooLarge;
    value = negative ? -qMin(magnitude, limit + 1) : magnitude;
    return Whole::Ok;
}

QString missing_or(const char* name, const QString& problem, const Span& span)
{
    if (span.seen == 0)
        return QStringLiteral("missing %1").arg(QLatin1String(name));
    return problem;
}

// A string member: fast path without escapes, else the parser's decoding.
bool read_string(const Span& span, const QJsonDocument& document, const char* name, QString& out)
{
    if (span.size < 2 || span.begin[0] != '"')
        return false;
    const char* body = span.begin + 1;
    const int size = span.size - 2;
    if (std::memchr(body, '\\', size))
        out = document.object().value(QLatin1String(name)).toString();
    else
        out = QString::fromUtf8(body, size);
    return true;
}

PayloadCheck refused(const QString& reason)
{
    PayloadCheck check;
    check.reason = reason;
    return check;
}

}  // namespace

PayloadCheck check_payload(const char* data, int size)
{
    if (size > MAX_PAYLOAD_BYTES)
        return refused(QStringLiteral("too large (%1 bytes, at most %2)").arg(size).arg(MAX_PAYLOAD_BYTES));

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromRawData(data, size), &error);
    if (error.error != QJsonParseError::NoError)
        return refused(QStringLiteral("not JSON (%1 at byte %2)").arg(error.errorString()).arg(error.offset));
    if (!document.isObject())
        return refused(QStringLiteral("not an object"));

    Span spans[KEY_COUNT];
    scan_members(data, data + size, spans);
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
    if (tx_form == Whole::TooLarge || value != 1)
        return refused(QStringLiteral("tx_inhibit not 1"));

    const Span& ttl = spans[TTL_MS];
    const Whole ttl_form = ttl.seen ? whole_number(ttl, MAX_TTL_MS, value) : Whole::NotWhole;
    if (ttl_form == Whole::NotWhole)
        return refused(missing_or("ttl_ms", QStringLiteral("ttl_ms not a whole number"), ttl));
    if (ttl_form == Whole::TooLarge)
        return refused(QStringLiteral("ttl_ms above %1").arg(MAX_TTL_MS));
    if (value < 0)
        return refused(QStringLiteral("ttl_ms negative"));
    check.fields.ttl_ms = static_cast<qint32>(value);

    if (!read_string(spans[STATION], document, "station", check.fields.station))
        return refused(missing_or("station", QStringLiteral("station not a string"), spans[STATION]));
    if (!read_string(spans[BAND], document, "band", check.fields.band))
        return refused(missing_or("band", QStringLiteral("band not a string"), spans[BAND]));

    const Span& seq = spans[SEQ];
    const Whole seq_form = seq.seen ? whole_number(seq, MAX_SEQ, value) : Whole::NotWhole;
    if (seq_form == Whole::NotWhole)
        return refused(missing_or("seq", QStringLiteral("seq not a whole number"), seq));
    if (seq_form == Whole::TooLarge)
        return refused(QStringLiteral("seq above %1").arg(MAX_SEQ));
    if (value < 1)
        return refused(QStringLiteral("seq below 1"));
    check.fields.seq = value;

    check.ok = true;
    return check;
}
