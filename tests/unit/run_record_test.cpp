// The timeline and the JUnit report of runs the process tests cannot afford:
// a day long, or with more senders than the picture has lanes. What the
// station reports must all reach both files; the picture stays small.

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QXmlStreamReader>

#include <algorithm>
#include <functional>

#include "report/junit_report.h"
#include "station/reception.h"
#include "report/run_record.h"
#include "report/timeline_svg.h"

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

    const ReportCounts report = read_report(junit_xml(run.record, run_totals(run.station.table), QStringLiteral("host")));
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

    const ReportCounts report = read_report(junit_xml(run.record, run_totals(run.station.table), QStringLiteral("host")));
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

namespace {

struct FailedCase {
    QString type;
    QString message;
};

// Every case's name by suite, and the failures.
struct Report {
    QMap<QString, QStringList> cases;  // suite name -> case names
    QList<FailedCase> failures;
    int skipped = 0;
};

Report parse_report(const QByteArray& xml)
{
    Report report;
    QXmlStreamReader reader(xml);
    QString suite;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        const auto a = reader.attributes();
        if (reader.name() == QLatin1String("testsuite"))
            suite = a.value(QLatin1String("name")).toString();
        else if (reader.name() == QLatin1String("testcase"))
            report.cases[suite] << a.value(QLatin1String("name")).toString();
        else if (reader.name() == QLatin1String("failure"))
            report.failures << FailedCase{a.value(QLatin1String("type")).toString(),
                                          a.value(QLatin1String("message")).toString()};
        else if (reader.name() == QLatin1String("skipped"))
            ++report.skipped;
    }
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    return report;
}

Report report_of(FakeRun& run, const QString& report_error = QString())
{
    RunTotals totals = run_totals(run.station.table);
    totals.report_error = report_error;
    return parse_report(junit_xml(run.record, totals, QStringLiteral("host")));
}

}  // namespace

TEST(JunitReport, EveryReasonForAFailedRunIsAFailingCase)
{
    struct Row {
        const char* what;
        std::function<void(FakeRun&)> run;
        const char* failure;  // the failing case's type; nullptr: a clean run
    };
    const std::vector<Row> rows = {
        {"a hold released", [](FakeRun& r) { r.inhibit(1, T0, 600, 1); r.inhibit(1, T0 + 100, 0, 2); }, nullptr},
        {"nothing heard with --expect-holds",
         [](FakeRun& r) { r.station.table.expect_holds = 1; }, "expect_holds"},
        {"a hold open at the end with --expect-holds",
         [](FakeRun& r) { r.station.table.expect_holds = 1; r.inhibit(1, T0, 30000, 1); }, "expect_holds"},
        {"forward errors",
         [](FakeRun& r) { r.station.table.forward_errors = 3; r.inhibit(1, T0, 600, 1); r.inhibit(1, T0 + 100, 0, 2); },
         "forward"},
        {"a sender not followed",
         [](FakeRun& r) {
             r.station.table.max_streams = 1;
             r.inhibit(1, T0, 30000, 1);
             r.inhibit(2, T0 + 1, 600, 1);
         },
         "untracked"},
        {"a lapse", [](FakeRun& r) { r.inhibit(1, T0, 600, 1); }, "lapse"},
    };
    for (const Row& row : rows) {
        FakeRun run;
        row.run(run);
        run.end(T0 + 2000);
        const Report report = report_of(run);
        const bool failed = table_problems(run.station.table) > 0;
        EXPECT_EQ(!report.failures.isEmpty(), failed) << row.what;
        EXPECT_EQ(failed, row.failure != nullptr) << row.what;
        if (row.failure) {
            EXPECT_TRUE(std::any_of(report.failures.begin(), report.failures.end(),
                                    [&](const FailedCase& f) { return f.type == QLatin1String(row.failure); }))
                << row.what;
        }
    }
    // A report that could not be written (exit 2) is said in the one that could.
    FakeRun run;
    run.end(T0 + 10);
    const Report report = report_of(run, QStringLiteral("keyline-station: cannot write --timeline x: No space"));
    ASSERT_EQ(report.failures.size(), 1);
    EXPECT_EQ(report.failures[0].type, QStringLiteral("report"));
}

TEST(JunitReport, AHoldOpenAtTheEndIsNotJudged)
{
    FakeRun run;
    run.inhibit(1, T0, 30000, 1);
    run.end(T0 + 1000);
    const Report report = report_of(run);
    EXPECT_EQ(report.skipped, 1);
    EXPECT_TRUE(report.failures.isEmpty());
}

TEST(JunitReport, SuppressedMalformedDatagramsAreCountedForEachSender)
{
    FakeRun run;
    // Four senders fill the second's shown datagrams; two more are only suppressed.
    for (int s = 0; s < 6; ++s)
        for (int i = 0; i < 6; ++i)
            run.send(100 + s, T0 + s, QByteArrayLiteral("{junk"));
    run.end(T0 + 3000);
    EXPECT_EQ(run.station.table.malformed, 36);
    const Report report = report_of(run);
    ASSERT_EQ(report.cases.size(), 6) << "every sender a suite";
    qint64 total = 0;
    for (const FailedCase& f : report.failures) {
        ASSERT_EQ(f.type, QStringLiteral("malformed"));
        EXPECT_EQ(f.message, QStringLiteral("malformed datagrams: 6"));
        total += 6;
    }
    EXPECT_EQ(total, run.station.table.malformed);

    qint64 drawn = 0;
    for (const StreamRecord& lane : run.record.streams)
        drawn += lane.malformed_count;
    EXPECT_EQ(drawn, run.station.table.malformed);
}

TEST(JunitReport, NamesStayTheSameFromRunToRun)
{
    FakeRun run;
    run.inhibit(40001, T0, 600, 1);
    run.inhibit(40001, T0 + 100, 0, 2);
    run.inhibit(40002, T0 + 200, 600, 1);  // the same station and band from another port
    run.inhibit(40002, T0 + 300, 0, 2);
    run.end(T0 + 1000);
    const Report report = report_of(run);
    EXPECT_EQ(report.cases.keys(), (QStringList{QStringLiteral("K1ABC, 144"), QStringLiteral("K1ABC, 144 (2)")}));
    EXPECT_EQ(report.cases.value(QStringLiteral("K1ABC, 144")),
              (QStringList{QStringLiteral("hold 1"), QStringLiteral("seq problems"), QStringLiteral("malformed datagrams")}));
}

TEST(TimelineSvg, SizeIsBoundedByPixelsNotByTraffic)
{
    // 64 senders every 25 ms, each datagram twice, ttl_ms 1, for 20 s: every
    // datagram a hold, a lapse and a seq problem.
    FakeRun run;
    std::vector<qint64> seq(64, 1);
    for (qint64 t = 0; t < 20000; t += 25)
        for (int s = 0; s < 64; ++s) {
            run.inhibit(30000 + s, T0 + t, 1, seq[s]);
            run.inhibit(30000 + s, T0 + t, 1, seq[s]++);
        }
    run.end(T0 + 20000);
    EXPECT_GT(run.station.table.lapses, 64 * 700);
    const QByteArray svg = timeline_svg(run.record, run_totals(run.station.table));
    // Each lane's kinds of marks merge into a handful of rects.
    EXPECT_LT(svg.count("<rect"), 64 * 5 * 4 + 100);
    EXPECT_LT(svg.size(), 512 * 1024);
}
