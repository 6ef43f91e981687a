#include "station/json_object_scan.h"

#include <QTextCodec>

#include "common/text_escape.h"

namespace {

struct Cursor {
    const unsigned char* begin;
    const unsigned char* p;
    const unsigned char* end;
    const char* error = nullptr;

    bool fail(const char* what)
    {
        if (!error)
            error = what;
        return false;
    }
};

void skip_space(Cursor& c)
{
    while (c.p < c.end && (*c.p == ' ' || *c.p == '\t' || *c.p == '\n' || *c.p == '\r'))
        ++c.p;
}

bool is_hex(unsigned char b)
{
    return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'f') || (b >= 'A' && b <= 'F');
}

// A string token at c.p (the opening quote); body is its inside.
bool read_string(Cursor& c, const unsigned char*& body, int& size, bool& escaped)
{
    if (c.p >= c.end || *c.p != '"')
        return c.fail("expected a string");
    body = ++c.p;
    escaped = false;
    while (c.p < c.end) {
        const unsigned char b = *c.p;
        if (b == '"') {
            size = static_cast<int>(c.p - body);
            ++c.p;
            return true;
        }
        if (b < 0x20)
            return c.fail("control character in a string");
        if (b == '\\') {
            escaped = true;
            if (c.end - c.p < 2)
                break;
            const unsigned char e = c.p[1];
            if (e == 'u') {
                if (c.end - c.p < 6)
                    break;
                for (int i = 2; i < 6; ++i)
                    if (!is_hex(c.p[i]))
                        return c.fail("bad \\u escape");
                c.p += 6;
            } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' ||
                       e == 't') {
                c.p += 2;
            } else {
                return c.fail("bad escape");
            }
        } else if (b < 0x80) {
            ++c.p;
        } else {
            uint code = 0;
            const int length = utf8_sequence(c.p, static_cast<int>(c.end - c.p), code);
            if (length == 0)
                return c.fail("invalid UTF-8");
            c.p += length;
        }
    }
    return c.fail("unterminated string");
}

bool digits(Cursor& c)
{
    const unsigned char* start = c.p;
    while (c.p < c.end && *c.p >= '0' && *c.p <= '9')
        ++c.p;
    return c.p > start;
}

bool read_number(Cursor& c)
{
    if (c.p < c.end && *c.p == '-')
        ++c.p;
    if (c.p < c.end && *c.p == '0')
        ++c.p;
    else if (!digits(c))
        return c.fail("bad number");
    if (c.p < c.end && *c.p == '.') {
        ++c.p;
        if (!digits(c))
            return c.fail("bad number");
    }
    if (c.p < c.end && (*c.p == 'e' || *c.p == 'E')) {
        ++c.p;
        if (c.p < c.end && (*c.p == '+' || *c.p == '-'))
            ++c.p;
        if (!digits(c))
            return c.fail("bad number");
    }
    return true;
}

bool read_word(Cursor& c, const char* word)
{
    for (; *word; ++word, ++c.p)
        if (c.p >= c.end || *c.p != static_cast<unsigned char>(*word))
            return c.fail("unexpected character");
    return true;
}

bool read_value(Cursor& c, int depth, JsonMemberSink* sink);

// An object or an array at c.p; the members of the top-level object go to sink.
bool read_container(Cursor& c, int depth, JsonMemberSink* sink)
{
    if (depth > MAX_JSON_DEPTH)
        return c.fail("nested too deep");
    const bool object = *c.p == '{';
    const unsigned char close = object ? '}' : ']';
    ++c.p;
    skip_space(c);
    if (c.p < c.end && *c.p == close) {
        ++c.p;
        return true;
    }
    while (true) {
        const unsigned char* key = nullptr;
        int key_size = 0;
        bool key_escaped = false;
        if (object) {
            if (!read_string(c, key, key_size, key_escaped))
                return false;
            skip_space(c);
            if (c.p >= c.end || *c.p != ':')
                return c.fail("expected ':'");
            ++c.p;
            skip_space(c);
        }
        const unsigned char* value = c.p;
        if (!read_value(c, depth + 1, nullptr))
            return false;
        if (sink) {
            JsonSpan span;
            span.begin = reinterpret_cast<const char*>(value);
            span.size = static_cast<int>(c.p - value);
            if (*value == '"')
                for (const unsigned char* q = value; q < c.p; ++q)
                    span.escaped = span.escaped || *q == '\\';
            sink->member(reinterpret_cast<const char*>(key), key_size, key_escaped, span);
        }
        skip_space(c);
        if (c.p >= c.end)
            return c.fail("unexpected end");
        if (*c.p == close) {
            ++c.p;
            return true;
        }
        if (*c.p != ',')
            return c.fail(object ? "expected ',' or '}'" : "expected ',' or ']'");
        ++c.p;
        skip_space(c);
    }
}

bool read_value(Cursor& c, int depth, JsonMemberSink* sink)
{
    if (c.p >= c.end)
        return c.fail("unexpected end");
    const unsigned char b = *c.p;
    if (b == '{' || b == '[')
        return read_container(c, depth, sink);
    if (b == '"') {
        const unsigned char* body;
        int size;
        bool escaped;
        return read_string(c, body, size, escaped);
    }
    if (b == '-' || (b >= '0' && b <= '9'))
        return read_number(c);
    if (b == 't')
        return read_word(c, "true");
    if (b == 'f')
        return read_word(c, "false");
    if (b == 'n')
        return read_word(c, "null");
    return c.fail("unexpected character");
}

int hex_value(const char* p)
{
    int v = 0;
    for (int i = 0; i < 4; ++i) {
        const char h = p[i];
        v = v * 16 + (h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
    }
    return v;
}

}  // namespace

JsonScan scan_json_object(const char* data, int size, JsonMemberSink& sink, QString& error)
{
    Cursor c;
    c.begin = c.p = reinterpret_cast<const unsigned char*>(data);
    c.end = c.begin + size;
    skip_space(c);
    const bool object = c.p < c.end && *c.p == '{';
    bool ok = read_value(c, 1, object ? &sink : nullptr);
    if (ok) {
        skip_space(c);
        if (c.p < c.end)
            ok = c.fail("data after the end");
    }
    if (!ok) {
        error = QStringLiteral("%1 at byte %2").arg(QLatin1String(c.error)).arg(c.p - c.begin);
        return JsonScan::Invalid;
    }
    return object ? JsonScan::Object : JsonScan::NotObject;
}

namespace {

// QString::fromUtf8 drops a byte order mark at the start of each piece; the
// text shown must be what was sent.
QString utf8_text(const char* bytes, int size)
{
    static QTextCodec* const utf8 = QTextCodec::codecForMib(106);
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    return utf8->toUnicode(bytes, size, &state);
}

}  // namespace

QString decode_json_string(const char* body, int size, bool escaped)
{
    if (!escaped)
        return utf8_text(body, size);
    QString out;
    out.reserve(size);
    int run = 0;  // start of the bytes not yet taken
    for (int i = 0; i < size;) {
        if (body[i] != '\\') {
            ++i;
            continue;
        }
        out += utf8_text(body + run, i - run);
        const char e = body[i + 1];
        if (e == 'u') {
            const int unit = hex_value(body + i + 2);
            out += QChar(static_cast<ushort>(unit));  // a pair stays a pair, a lone one stays lone
            i += 6;
        } else {
            switch (e) {
            case 'b': out += QLatin1Char('\b'); break;
            case 'f': out += QLatin1Char('\f'); break;
            case 'n': out += QLatin1Char('\n'); break;
            case 'r': out += QLatin1Char('\r'); break;
            case 't': out += QLatin1Char('\t'); break;
            default: out += QLatin1Char(e); break;  // " \ /
            }
            i += 2;
        }
        run = i;
    }
    out += utf8_text(body + run, size - run);
    return out;
}
