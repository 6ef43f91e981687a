// The inhibit datagram's bytes and their JSON.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include "hold/inhibit_payload.h"

namespace {

QByteArray payload_for(int ttl_ms, const QString& station, const QString& band, qint64 seq)
{
    return inhibit_payload(ttl_ms, json_string_body(station), json_string_body(band), seq);
}

QJsonObject parse(const QByteArray& bytes)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError)
        << error.errorString().toStdString() << " in " << bytes.toStdString();
    EXPECT_TRUE(doc.isObject()) << bytes.toStdString();
    return doc.object();
}

}  // namespace

TEST(InhibitPayload, DefaultsGiveTheExactFirstDatagram)
{
    EXPECT_EQ(payload_for(600, QStringLiteral("TEST-KEY"), QStringLiteral("144"), 1),
              QByteArray(R"({"tx_inhibit":1,"ttl_ms":600,"station":"TEST-KEY","band":"144","seq":1})"));
}

TEST(InhibitPayload, NumbersArePlainDecimal)
{
    // RELEASE carries ttl 0; seq is 64-bit and must not be cut to 32 bits.
    EXPECT_EQ(payload_for(0, QStringLiteral("S"), QStringLiteral("B"), 4294967301LL),
              QByteArray(R"({"tx_inhibit":1,"ttl_ms":0,"station":"S","band":"B","seq":4294967301})"));
    EXPECT_EQ(payload_for(30000, QStringLiteral("S"), QStringLiteral("B"), 2147483648LL),
              QByteArray(R"({"tx_inhibit":1,"ttl_ms":30000,"station":"S","band":"B","seq":2147483648})"));
    EXPECT_EQ(payload_for(100, QString(), QString(), 10),
              QByteArray(R"({"tx_inhibit":1,"ttl_ms":100,"station":"","band":"","seq":10})"));

    const QJsonObject o = parse(payload_for(0, QStringLiteral("S"), QStringLiteral("B"),
                                            9007199254740993LL));
    EXPECT_EQ(o.value("ttl_ms").toInt(-1), 0);
    EXPECT_EQ(o.value("tx_inhibit").toInt(-1), 1);
}

TEST(InhibitPayload, EscapedTextsAreValidJsonAndRoundTrip)
{
    const QString station = QStringLiteral("A\"B\\C\nD") + QChar(0x01) + QChar(0x1f) +
                            QStringLiteral("\t\r\b\f") + QChar(0x00) + QStringLiteral("E");
    const QString band = QStringLiteral("2m \u00c5 ") + QString::fromUcs4(U"\U0001F4E1") +
                         QStringLiteral(" /\u007f");

    const QByteArray bytes = payload_for(600, station, band, 7);
    const QJsonObject o = parse(bytes);
    EXPECT_EQ(o.value("station").toString(), station);
    EXPECT_EQ(o.value("band").toString(), band);
    EXPECT_EQ(o.value("ttl_ms").toInt(-1), 600);
    EXPECT_EQ(o.value("seq").toInt(-1), 7);
    EXPECT_EQ(o.size(), 5);

    // Nothing below 0x20 reaches the wire raw; non-ASCII goes as UTF-8.
    for (const char c : bytes)
        EXPECT_GE(static_cast<unsigned char>(c), 0x20u) << bytes.toStdString();
    EXPECT_TRUE(bytes.contains("\xc3\x85"));          // U+00C5 in UTF-8
    EXPECT_TRUE(bytes.contains("\xf0\x9f\x93\xa1"));  // U+1F4E1 in UTF-8
}

TEST(InhibitPayload, EscapeForms)
{
    EXPECT_EQ(json_string_body(QStringLiteral("TEST-KEY")), QByteArray("TEST-KEY"));
    EXPECT_EQ(json_string_body(QStringLiteral("a\"b")), QByteArray("a\\\"b"));
    EXPECT_EQ(json_string_body(QStringLiteral("a\\b")), QByteArray("a\\\\b"));
    EXPECT_EQ(json_string_body(QStringLiteral("\n\r\t\b\f")), QByteArray("\\n\\r\\t\\b\\f"));
    EXPECT_EQ(json_string_body(QString(QChar(0x01)) + QChar(0x1f) + QChar(0x00)),
              QByteArray("\\u0001\\u001f\\u0000"));
    EXPECT_EQ(json_string_body(QStringLiteral("\u00c5")), QByteArray("\xc3\x85"));
}

TEST(InhibitPayload, KeysInFixedOrder)
{
    // QJsonObject sorts its keys, so the order is checked on the bytes. The
    // texts hold key names to make sure the search hits the keys themselves.
    const QByteArray bytes =
        payload_for(600, QStringLiteral("seq\"band"), QStringLiteral("ttl_ms"), 3);
    ASSERT_TRUE(bytes.startsWith("{\"tx_inhibit\":1,"));
    const int ttl = bytes.indexOf("\"ttl_ms\":");
    const int station = bytes.indexOf("\"station\":");
    const int band = bytes.indexOf("\"band\":");
    const int seq = bytes.indexOf("\"seq\":");
    EXPECT_EQ(ttl, 16);  // right after {"tx_inhibit":1,
    EXPECT_LT(ttl, station);
    EXPECT_LT(station, band);
    EXPECT_LT(band, seq);
    EXPECT_TRUE(bytes.endsWith(",\"seq\":3}"));
    parse(bytes);
}
