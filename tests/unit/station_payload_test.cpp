// The inhibit payload check: what a careful station accepts and the reason
// it gives for everything else.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include <string>

#include "station/payload_check.h"

namespace {

PayloadCheck check(const std::string& payload)
{
    return check_payload(payload.data(), static_cast<int>(payload.size()));
}

struct Accepted {
    const char* payload;
    qint32 ttl_ms;
    qint64 seq;
    const char* station;  // UTF-8
    const char* band;
};

TEST(PayloadCheck, Accepts)
{
    const Accepted table[] = {
        {R"({"tx_inhibit":1,"ttl_ms":600,"station":"TEST-KEY","band":"144","seq":1})", 600, 1, "TEST-KEY", "144"},
        {R"({"tx_inhibit":1,"ttl_ms":0,"station":"S","band":"","seq":42})", 0, 42, "S", ""},
        // Any key order, white space, extra keys of any kind.
        {R"( { "seq" : 7 , "band":"7" ,"station":"X","ttl_ms":150,"tx_inhibit":1 } )", 150, 7, "X", "7"},
        {R"({"tx_inhibit":1,"ttl_ms":600,"station":"S","band":"b","seq":3,"extra":[{"a":[1.5e3,null]}],"v":true})", 600, 3, "S", "b"},
        // Escapes in strings and in a key.
        {R"({"tx_inhibit":1,"ttl_ms":600,"station":"a\"b\\c\u00e9\n","band":"b","s\u0065q":9})", 600, 9, "a\"b\\c\xc3\xa9\n", "b"},
        {"{\"tx_inhibit\":1,\"ttl_ms\":600,\"station\":\"\xe2\x82\xac\",\"band\":\"b\",\"seq\":1}", 600, 1, "\xe2\x82\xac", "b"},
        // The largest values.
        {R"({"tx_inhibit":1,"ttl_ms":2147483647,"station":"S","band":"b","seq":9007199254740992})", 2147483647, 9007199254740992LL, "S", "b"},
    };
    const std::string nested = std::string(R"({"tx_inhibit":1,"ttl_ms":1,"station":"S","band":"b","seq":1,"x":)") +
                               std::string(63, '[') + std::string(63, ']') + "}";
    EXPECT_TRUE(check(nested).ok);  // 64 levels with the object itself
    for (const Accepted& row : table) {
        const std::string payload = row.payload;  // the fields point into it
        const PayloadCheck c = check(payload);
        ASSERT_TRUE(c.ok) << row.payload << " -> " << c.reason.toStdString();
        EXPECT_EQ(c.fields.ttl_ms, row.ttl_ms) << row.payload;
        EXPECT_EQ(c.fields.seq, row.seq) << row.payload;
        EXPECT_EQ(field_text(c.fields.station), QString::fromUtf8(row.station)) << row.payload;
        EXPECT_EQ(field_text(c.fields.band), QString::fromUtf8(row.band)) << row.payload;
    }
}

struct Refused {
    std::string payload;
    const char* reason;  // the start of the reason
};

std::string with(const char* tx, const char* ttl, const char* station, const char* band, const char* seq)
{
    std::string s = "{";
    auto add = [&s](const char* key, const char* value) {
        if (!value)
            return;
        if (s.size() > 1)
            s += ",";
        s += std::string("\"") + key + "\":" + value;
    };
    add("tx_inhibit", tx);
    add("ttl_ms", ttl);
    add("station", station);
    add("band", band);
    add("seq", seq);
    return s + "}";
}

TEST(PayloadCheck, RefusesWithAReason)
{
    const char* S = "\"S\"";
    const Refused table[] = {
        {"", "not JSON"},
        {"hello", "not JSON"},
        {"\xff\xfe", "not JSON"},
        {R"({"tx_inhibit":1,"ttl_ms":600,"station":"S","band":"b","seq":1} x)", "not JSON"},
        {"{\"tx_inhibit\":1,\"ttl_ms\":600,\"station\":\"\xc3(\",\"band\":\"b\",\"seq\":1}", "not JSON"},
        {std::string(3000, '['), "too large"},
        {std::string(1500, '[') + std::string(1500, ']'), "too large"},
        {std::string(2000, '['), "not JSON"},  // too deeply nested, and unclosed
        {std::string(65, '[') + std::string(65, ']'), "not JSON"},
        {"[1,2]", "not an object"},
        {"42", "not an object"},
        {"\"text\"", "not an object"},
        {"{\"a\":01}", "not JSON"},
        {"{\"a\":-}", "not JSON"},
        {"{\"a\":tru}", "not JSON"},
        {"{\"a\":\"\\x\"}", "not JSON"},
        {"{\"a\":\"\\u12\"}", "not JSON"},
        {"{\"a\":\"tab\there\"}", "not JSON"},  // a raw control character in a string
        {"{\"a\":[1,]}", "not JSON"},
        {"{\"a\" 1}", "not JSON"},
        {"{\"a\":1", "not JSON"},
        {"{\"a\":\"\xed\xa0\x80\"}", "not JSON"},  // an encoded surrogate
        {with(nullptr, "600", S, S, "1"), "missing tx_inhibit"},
        {with("true", "600", S, S, "1"), "tx_inhibit not a whole number"},
        {with("\"1\"", "600", S, S, "1"), "tx_inhibit not a whole number"},
        {with("1.0", "600", S, S, "1"), "tx_inhibit not a whole number"},
        {with("0", "600", S, S, "1"), "tx_inhibit not 1"},
        {with("2", "600", S, S, "1"), "tx_inhibit not 1"},
        {with("99999999999999999999", "600", S, S, "1"), "tx_inhibit not 1"},
        {with("1", nullptr, S, S, "1"), "missing ttl_ms"},
        {with("1", "null", S, S, "1"), "ttl_ms not a whole number"},
        {with("1", "\"600\"", S, S, "1"), "ttl_ms not a whole number"},
        {with("1", "600.0", S, S, "1"), "ttl_ms not a whole number"},
        {with("1", "6e2", S, S, "1"), "ttl_ms not a whole number"},
        {with("1", "-1", S, S, "1"), "ttl_ms negative"},
        {with("1", "-0", S, S, "1"), "ttl_ms with a minus sign"},  // not a RELEASE
        {with("-1", "600", S, S, "1"), "tx_inhibit not 1"},
        {with("1", "600", S, S, "-0"), "seq below 1"},
        {with("1", "2147483648", S, S, "1"), "ttl_ms above 2147483647"},
        {with("1", "600", nullptr, S, "1"), "missing station"},
        {with("1", "600", "5", S, "1"), "station not a string"},
        {with("1", "600", "null", S, "1"), "station not a string"},
        {with("1", "600", S, nullptr, "1"), "missing band"},
        {with("1", "600", S, "[\"b\"]", "1"), "band not a string"},
        {with("1", "600", S, S, nullptr), "missing seq"},
        {with("1", "600", S, S, "{}"), "seq not a whole number"},
        {with("1", "600", S, S, "1E0"), "seq not a whole number"},
        {with("1", "600", S, S, "0"), "seq below 1"},
        {with("1", "600", S, S, "-5"), "seq below 1"},
        {with("1", "600", S, S, "9007199254740993"), "seq above 9007199254740992"},
        {R"({"tx_inhibit":1,"ttl_ms":600,"station":"S","band":"b","seq":1,"seq":2})", "duplicate key seq"},
        {R"({"tx_inhibit":1,"ttl_ms":600,"station":"S","band":"b","seq":1,"tx_\u0069nhibit":0})", "duplicate key tx_inhibit"},
        {std::string(R"({"tx_inhibit":1,"ttl_ms":600,"station":"S","band":"b","seq":1,"x":)") +
             std::string(64, '[') + std::string(64, ']') + "}", "not JSON"},
    };
    for (const Refused& row : table) {
        const PayloadCheck c = check(row.payload);
        EXPECT_FALSE(c.ok) << row.payload.substr(0, 80);
        EXPECT_TRUE(c.reason.startsWith(QLatin1String(row.reason)))
            << row.payload.substr(0, 80) << " -> " << c.reason.toStdString() << ", wanted " << row.reason;
    }
}

}  // namespace
