// The timeline and the JUnit report of runs the process tests cannot afford:
// a day long, or with more senders than the picture has lanes. What the
// station reports must all reach both files; the picture stays small.

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QXmlStreamReader>

#include "station/junit_report.h"
#include "station/reception.h"
#include "station/run_record.h"
#include "station/timeline_svg.h"

namespace {

constexpr qint64 T0 = 1700000000000LL;

SenderId port(int p)
{
    return sender_id(QHostAddress(QStringLiteral("127.0.0.1")), static_cast<quint16>(p));
}

struct FakeRun {
    Station station;
    RunRecord record;
    StationEvents events;

    FakeRun()
    {
        record.start_ms = T0;
        record.wall_start_ms = T0;
    }
    void feed()
    {
        record_events(record, events);
        events.clear();
    }
    // Whatever is due by at, then the datagram.
    void send(int from, qint64 at, const QByteArray& payload)
    {
        station_tick(station, at, events);
        receive_payload(station, port(from), at, payload.constData(), payload.size(), events);
        feed();
    }
    void inhibit(int from, qint64 at, int ttl_ms, qint64 seq_no)
    {
        send(from, at, QStringLiteral(R"({"tx_inhibit":1,"ttl_ms":%1,"station":"K1ABC","band":"144","seq":%2})")
                           .arg(ttl_ms)
                           .arg(seq_no)
                           .toUtf8());
    }
    void end(qint64 at)
    {
        station_tick(station, at, events);
        flush_suppressed(station.limiter, at, true, events);
        feed();
        end_run_record(record, at);
    }
};

// Counts of elements and of failures by type in a JUnit report.
struct ReportCounts {
    int testcases = 0;
    QMap<QString, int> failures;
    QStringList failure_messages;
};

ReportCounts read_report(const QByteArray& xml)
{
    ReportCounts counts;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (reader.name() == QLatin1String("testcase"))
            ++counts.testcases;
        if (reader.name() == QLatin1String("failure")) {
            ++counts.failures[reader.attributes().value(QLatin1String("type")).toString()];
            counts.failure_messages << reader.attributes().value(QLatin1String("message")).toString();
        }
    }
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    return counts;
}

}  // namespace

TEST(RunRecord, ADayLongRunStaysSmallAndKeepsEveryLapseAndMalformedDatagram)
{
    constexpr qint64 DAY_MS = 24 * 3600 * 1000LL;
    FakeRun run;
    qint64 seq = 1;
    for (qint64 t = 0; t < DAY_MS; t += 1000) {
        if (t % 3600000 >= 3595000)  // five silent seconds each hour: a lapse
            continue;
        run.inhibit(1, T0 + t, 3000, seq++);
        if (t % 600000 == 0)  // a malformed datagram every ten minutes
            run.send(1, T0 + t + 500, QByteArrayLiteral("{not json"));
    }
    run.end(T0 + DAY_MS);

    ASSERT_EQ(run.record.streams.size(), 1u);
    const StreamRecord& lane = run.record.streams[0];
    for (const MarkList* list : {&lane.hold_bars, &lane.arrivals, &lane.lapses, &lane.malformed})
        EXPECT_LE(list->marks.size(), static_cast<size_t>(MAX_MARKS));
    EXPECT_EQ(run.station.table.lapses, 24);
    EXPECT_EQ(run.station.table.malformed, 144);

    const QByteArray svg = timeline_svg(run.record, run_totals(run.station.table));
    EXPECT_LT(svg.size(), 3 * 1024 * 1024);
    // Each lapse keeps its own red mark (an hour apart is many pixels), plus the legend's.
    EXPECT_EQ(svg.count("fill=\"#d62728\""), 24 + 1);

    const ReportCounts report = read_report(junit_xml(run.record, QStringLiteral("host")));
    // The first hold and one after each lapse but the last (at the end of
    // the day); then the seq and malformed cases.
    EXPECT_EQ(report.testcases, 24 + 2);
    EXPECT_EQ(report.failures.value(QStringLiteral("lapse")), 24);
    EXPECT_TRUE(report.failure_messages.contains(QStringLiteral("malformed datagrams: 144")));
}

TEST(RunRecord, SendersBeyondTheLanesShareOneAndTheirLapsesStillFail)
{
    constexpr int SENDERS = MAX_LANES + 6;
    FakeRun run;
    for (int s = 0; s < SENDERS; ++s)
        run.inhibit(40000 + s, T0 + s, 600, 1);
    run.end(T0 + 2000);
    EXPECT_EQ(run.station.table.lapses, SENDERS);
    ASSERT_EQ(run.record.streams.size(), static_cast<size_t>(MAX_LANES));

    const ReportCounts report = read_report(junit_xml(run.record, QStringLiteral("host")));
    EXPECT_EQ(report.failures.value(QStringLiteral("lapse")), MAX_LANES);
    EXPECT_EQ(report.failure_messages.filter(QStringLiteral("7 lapses, longest silence ")).size(), 1)
        << report.failure_messages.join(QLatin1Char('|')).toStdString();
}

TEST(RunRecord, MarksMergeWithinTheirListsGapOnly)
{
    MarkList list;
    for (qint64 t = 0; t < 10 * MAX_MARKS; t += 10)
        add_mark(list, Mark{t, t, 1, -1, -1});
    EXPECT_LE(list.marks.size(), static_cast<size_t>(MAX_MARKS));
    qint64 count = 0;
    for (const Mark& m : list.marks)
        count += m.count;
    EXPECT_EQ(count, MAX_MARKS);  // merged, never lost
    EXPECT_EQ(list.marks.front().start_ms, 0);
    EXPECT_EQ(list.marks.back().end_ms, 10 * MAX_MARKS - 10);
}
