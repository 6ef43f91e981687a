// What reaches the screen: hostile texts escaped, malformed datagrams counted
// but rate-limited, and the text and JSON lines of events and the summary.

#include <gtest/gtest.h>

#include <QBuffer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTextStream>

#include <string>

#include "report/event_format.h"
#include "station/malformed_limiter.h"
#include "station/reception.h"
#include "report/station_output.h"
#include "common/text_escape.h"

namespace {

constexpr qint64 T0 = 1700000000000LL;

SenderId port(int p)
{
    return sender_id(QHostAddress(QStringLiteral("127.0.0.1")), static_cast<quint16>(p));
}

bool has_raw_control(const QString& s)
{
    for (const QChar c : s) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || c.isSurrogate())
            return true;
    }
    return false;
}

TEST(TextEscape, Table)
{
    struct Row {
        QString in;
        const char* out;
    };
    const Row table[] = {
        {QStringLiteral("TEST-KEY 144"), "TEST-KEY 144"},
        {QString::fromUtf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xbb"), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xbb"},
        {QStringLiteral("\x1b[2J\x1b]0;title\x07"), "\\u001b[2J\\u001b]0;title\\u0007"},
        {QString(QChar(0)) + QStringLiteral("\n\t\x7f"), "\\u0000\\u000a\\u0009\\u007f"},
        {QString(QChar(0x9b)) + QChar(0x85) + QChar(0xa0), "\\u009b\\u0085\xc2\xa0"},  // C1 CSI, NEL; NBSP stays
        {QStringLiteral("a\\u001b"), "a\\\\u001b"},  // a literal backslash cannot fake an escape
        {QString(QChar(0xd800)) + QStringLiteral("x"), "\\ud800x"},
        // Invisible, line-splitting and direction-changing characters.
        {QString(QChar(0x202e)) + QStringLiteral("ab") + QChar(0x2066) + QChar(0xfeff) + QChar(0x200b) +
             QChar(0x2028) + QChar(0xad),
         "\\u202eab\\u2066\\ufeff\\u200b\\u2028\\u00ad"},
    };
    for (const Row& row : table)
        EXPECT_EQ(escape_text(row.in), QString::fromUtf8(row.out)) << row.out;

    const std::string bytes = "ok\x1b\xff\xc3(\xe2\x82\xac\xed\xa0\x80\xc0\xaf\x9b";
    EXPECT_EQ(escape_bytes(bytes.data(), static_cast<int>(bytes.size())),
              QString::fromUtf8("ok\\u001b\\xff\\xc3(\xe2\x82\xac\\xed\\xa0\\x80\\xc0\\xaf\\x9b"));
}

TEST(MalformedLimiter, FewPerSenderAndInAllThenOneSuppressedReportForAll)
{
    MalformedLimiter limiter;
    StationEvents events;
    int shown = 0;
    for (int i = 0; i < 50; ++i)
        shown += allow_malformed(limiter, port(1), T0 + i, events);
    EXPECT_EQ(shown, PER_SENDER_PER_SECOND);
    EXPECT_EQ(next_suppressed_report_ms(limiter), T0 + 1005);  // a second after the first one suppressed

    // Other senders share the limit in all, and the one report.
    for (int p = 2; p < 100; ++p)
        shown += allow_malformed(limiter, port(p), T0 + 100, events);
    EXPECT_EQ(shown, GLOBAL_PER_SECOND);

    flush_suppressed(limiter, T0 + 1004, false, events);
    EXPECT_TRUE(events.empty());
    flush_suppressed(limiter, T0 + 1005, false, events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, EventKind::Suppressed);
    EXPECT_EQ(events[0].count, 50 - PER_SENDER_PER_SECOND + 98 - (GLOBAL_PER_SECOND - PER_SENDER_PER_SECOND));
    EXPECT_EQ(events[0].senders, 1 + 98 - (GLOBAL_PER_SECOND - PER_SENDER_PER_SECOND));
    EXPECT_TRUE(events[0].from.isEmpty());

    // One sender alone is named.
    events.clear();
    for (int i = 0; i < 8; ++i)
        allow_malformed(limiter, port(7), T0 + 3000, events);
    flush_suppressed(limiter, T0 + 3001, true, events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].from, QStringLiteral("127.0.0.1:7"));
    EXPECT_EQ((std::pair<qint64, qint64>(events[0].count, events[0].senders)),
              (std::pair<qint64, qint64>(8 - PER_SENDER_PER_SECOND, 1)));
    EXPECT_TRUE(limiter.senders.empty());
}

TEST(MalformedLimiter, OneReportASecondHoweverManySenders)
{
    MalformedLimiter limiter;
    StationEvents events;
    qint64 reported = 0;
    int shown = 0;
    // 15000 senders over 3 seconds, ticked as the program does.
    for (int p = 0; p < 15000; ++p) {
        const qint64 now = T0 + p / 5;
        shown += allow_malformed(limiter, port(p), now, events);
        flush_suppressed(limiter, now, false, events);
    }
    flush_suppressed(limiter, T0 + 3000, true, events);
    EXPECT_LE(limiter.senders.size(), static_cast<size_t>(MAX_LIMITER_SENDERS));
    EXPECT_LE(events.size(), 4u);
    for (const StationEvent& e : events)
        reported += e.count;
    EXPECT_EQ(reported + shown, 15000);  // every one is shown or reported once
}

TEST(Reception, MalformedIsCountedAndNeverMakesAStream)
{
    Station station;
    StationEvents events;
    const std::string bad = "{\"tx_inhibit\":1,\"ttl_ms\":600,\"station\":\"\\u001b[2J\",\"band\":\"b\",\"seq\":0}";
    for (int i = 0; i < 30; ++i)
        receive_payload(station, port(9), T0, bad.data(), static_cast<int>(bad.size()), events);
    EXPECT_EQ(station.table.malformed, 30);
    EXPECT_TRUE(station.table.streams.empty());
    ASSERT_EQ(events.size(), static_cast<size_t>(PER_SENDER_PER_SECOND));
    EXPECT_EQ(events[0].text, QStringLiteral("seq below 1"));
    EXPECT_EQ(events[0].size, static_cast<qint64>(bad.size()));
    EXPECT_EQ(events[0].excerpt, escape_bytes(bad.data(), MALFORMED_EXCERPT_BYTES));
    EXPECT_EQ(table_problems(station.table), 30);
    EXPECT_EQ(station_next_deadline_ms(station), T0 + 1000);
}

// Every event kind, with hostile texts, as text and as JSON.
StationEvents all_kinds()
{
    StationEvents events;
    for (int k = static_cast<int>(EventKind::Listening); k <= static_cast<int>(EventKind::Restart); ++k) {
        StationEvent e;
        e.kind = static_cast<EventKind>(k);
        e.from = QStringLiteral("[::1]:40000");
        e.station = escape_text(QStringLiteral("ST\x1b]2;x\x07\"q\\"));
        e.band = escape_text(QStringLiteral("144\r"));
        e.seq = 5;
        e.ttl_ms = 600;
        e.address = QStringLiteral("::1");
        e.port = 22372;
        e.text = QStringLiteral("joined mid-run at seq 5");
        e.excerpt = escape_bytes("\x9b\x31J\xff", 4);
        e.size = 4;
        e.count = 3;
        e.interval_ms = e.hold_ms = e.keepalives = e.max_silence_ms = e.margin_ms = e.silence_ms = 7;
        e.missing = e.highest_seq = 8;
        events.push_back(e);
    }
    return events;
}

TEST(EventFormat, JsonLinesParseAndCarryTheNamedFields)
{
    const char* const names[] = {"listening", "hold", "keepalive", "release", "lapse", "resume", "seq_gap",
                                 "seq_duplicate", "seq_backwards", "malformed", "suppressed", "evicted", "note",
                                 "restart"};
    const StationEvents events = all_kinds();
    for (size_t i = 0; i < events.size(); ++i) {
        const QString line = event_json(events[i], QStringLiteral("12:00:00.000"));
        EXPECT_FALSE(has_raw_control(line)) << line.toStdString();
        EXPECT_TRUE(line.startsWith(QStringLiteral("{\"event\":\"%1\"").arg(QLatin1String(names[i]))));
        QJsonParseError error;
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8(), &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        EXPECT_EQ(o.value("event").toString(), QLatin1String(names[i]));
        if (events[i].kind == EventKind::Listening) {
            EXPECT_EQ(o.value("address").toString(), QStringLiteral("::1"));
            EXPECT_EQ(o.value("port").toInt(), 22372);
            continue;
        }
        EXPECT_EQ(o.value("from").toString(), QStringLiteral("[::1]:40000"));
        if (o.contains("station")) {
            // The value is the escaped text itself.
            EXPECT_EQ(o.value("station").toString(), QStringLiteral("ST\\u001b]2;x\\u0007\"q\\\\"));
            EXPECT_EQ(o.value("band").toString(), QStringLiteral("144\\u000d"));
        }
    }
    auto field = [&events](EventKind kind, const char* key) {
        return QJsonDocument::fromJson(event_json(events[static_cast<int>(kind)], QString()).toUtf8())
            .object()
            .value(QLatin1String(key));
    };
    EXPECT_EQ(field(EventKind::Keepalive, "interval_ms").toInt(), 7);
    for (const char* key : {"hold_ms", "keepalives", "max_silence_ms"})
        EXPECT_EQ(field(EventKind::Release, key).toInt(), 7) << key;
    EXPECT_EQ(field(EventKind::Lapse, "silence_ms").toInt(), 7);
    EXPECT_EQ(field(EventKind::Lapse, "ttl_ms").toInt(), 600);
    EXPECT_EQ(field(EventKind::SeqGap, "missing").toInt(), 8);
    EXPECT_EQ(field(EventKind::Malformed, "reason").toString(), QStringLiteral("joined mid-run at seq 5"));
    EXPECT_EQ(field(EventKind::Malformed, "excerpt").toString(), QStringLiteral("\\x9b1J\\xff"));  // a lone 0x9b is not UTF-8
    EXPECT_TRUE(field(EventKind::Malformed, "station").isUndefined());
    EXPECT_EQ(field(EventKind::Suppressed, "count").toInt(), 3);
}

TEST(EventFormat, TextLinesHoldNoRawControl)
{
    for (const StationEvent& e : all_kinds()) {
        const QString line = event_text(e);
        EXPECT_FALSE(has_raw_control(line)) << line.toStdString();
        EXPECT_TRUE(line.contains(QStringLiteral("[::1]"))) << line.toStdString();
    }
    StationEvent hold;
    hold.kind = EventKind::Hold;
    hold.from = QStringLiteral("127.0.0.1:40000");
    hold.station = QStringLiteral("TEST-KEY");
    hold.band = QStringLiteral("144");
    hold.seq = 1;
    hold.ttl_ms = 600;
    EXPECT_EQ(event_text(hold),
              QStringLiteral("  HOLD       127.0.0.1:40000  station=TEST-KEY  band=144  seq=1  ttl_ms=600"));
}

TEST(StationOutput, KeepalivesOnlyWhenVerboseAndTheSummaryLast)
{
    Station station;
    StationEvents events;
    InhibitFields f;
    f.station.begin = "S";
    f.station.size = 1;
    f.band.begin = "b";
    f.band.size = 1;
    f.ttl_ms = 600;
    for (qint64 seq = 1; seq <= 3; ++seq) {
        f.seq = seq;
        track_datagram(station.table, port(5), T0 + 200 * seq, f, events);
    }
    for (bool verbose : {false, true}) {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QTextStream out(&buffer);
        StationOutput output;
        output.out = &out;
        output.json = true;
        output.verbose = verbose;
        write_events(output, events);
        write_summary(output, station.table);
        const QList<QByteArray> lines = buffer.data().trimmed().split('\n');
        ASSERT_EQ(lines.size(), verbose ? 4 : 2);
        const QJsonObject summary = QJsonDocument::fromJson(lines.last()).object();
        EXPECT_EQ(summary.value("event").toString(), QStringLiteral("summary"));
        EXPECT_EQ(summary.value("problems").toInt(), 0);
        EXPECT_EQ(summary.value("holds").toInt(), 1);
        const QJsonObject stream = summary.value("streams").toArray().at(0).toObject();
        EXPECT_EQ(stream.value("from").toString(), QStringLiteral("127.0.0.1:5"));
        EXPECT_TRUE(stream.value("holding").toBool());  // still holding: shown, not a problem
    }

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QTextStream out(&buffer);
    StationOutput output;
    output.out = &out;
    write_summary(output, station.table);
    const QString text = QString::fromUtf8(buffer.data());
    const QRegularExpression shape(QStringLiteral(
        R"(^\d\d:\d\d:\d\d\.\d\d\d  STREAM     127\.0\.0\.1:5  station=S  band=b  holds=1  lapses=0  seq_problems=0  holding \(for 400 ms, not a problem\)\n)"
        R"(\d\d:\d\d:\d\d\.\d\d\d  SUMMARY    problems=0  holds=1  lapses=0  seq_problems=0  malformed=0  streams=1  evicted=0\n$)"));
    EXPECT_TRUE(shape.match(text).hasMatch()) << text.toStdString();
}

}  // namespace

TEST(EventFormat, LostOutputLinesAreANoteInJson)
{
    const QByteArray line = dropped_lines_json(212);
    ASSERT_TRUE(line.endsWith('\n'));
    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(line, &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    EXPECT_EQ(o.value("event").toString(), QStringLiteral("note"));
    EXPECT_TRUE(o.value("note").toString().startsWith(QStringLiteral("212 lines of output dropped")));
    EXPECT_FALSE(o.contains("from"));
}
