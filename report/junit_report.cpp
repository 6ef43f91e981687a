#include "report/junit_report.h"

#include <QDateTime>
#include <QHash>
#include <QStringList>
#include <QXmlStreamWriter>

#include <vector>

namespace {

// A case before it is written, so that its suite's counts come first.
struct Case {
    QString name;
    qint64 time_ms = 0;
    QString failure_type;     // empty: passed
    QString failure_message;
    QString failure_text;
    QString skipped;          // not empty: skipped, with the reason
    QString out;              // system-out
};

QString seconds(qint64 ms)
{
    return QString::number(static_cast<double>(ms) / 1000.0, 'f', 3);
}

QString end_text(HoldEnd end)
{
    switch (end) {
    case HoldEnd::Released: return QStringLiteral("released");
    case HoldEnd::Lapsed: return QStringLiteral("lapsed");
    case HoldEnd::Evicted: return QStringLiteral("evicted");
    case HoldEnd::Restarted: return QStringLiteral("ended by restart");
    case HoldEnd::Open: break;
    }
    return QStringLiteral("holding at the end of the run");
}

QString iso_time(const RunRecord& run, qint64 at_ms)
{
    return QDateTime::fromMSecsSinceEpoch(wall_ms(run, at_ms)).toString(Qt::ISODateWithMs);
}

// Named by its number only, so that a CI server can follow it from run to
// run; when it happened is said in its output.
Case hold_case(const RunRecord& run, const HoldCase& h)
{
    Case c;
    c.name = QStringLiteral("hold %1").arg(h.number);
    c.time_ms = h.end_ms - h.start_ms;
    c.out = QStringLiteral("start=%1 length_ms=%2 keepalives=%3 margin_ms=%4 ttl_ms=%5 end=%6")
                .arg(iso_time(run, h.start_ms))
                .arg(c.time_ms)
                .arg(h.keepalives)
                .arg(h.margin_ms)
                .arg(h.ttl_ms)
                .arg(end_text(h.end));
    if (h.end == HoldEnd::Lapsed) {
        c.failure_type = QStringLiteral("lapse");
        c.failure_message = QStringLiteral("lapse: %1 ms of silence with ttl_ms %2")
                                .arg(h.silence_ms)
                                .arg(h.lapse_ttl_ms);
        c.failure_text = QStringLiteral("LAPSE at %1 silence_ms=%2 ttl_ms=%3 (the station would let the "
                                        "transmitter go here)")
                             .arg(wall_stamp(run, h.end_ms))
                             .arg(h.silence_ms)
                             .arg(h.lapse_ttl_ms);
    } else if (h.end == HoldEnd::Evicted) {
        c.skipped = QStringLiteral("the stream was evicted while holding; its hold was not followed further");
    } else if (h.end == HoldEnd::Open) {
        c.skipped = QStringLiteral("still holding when the run ended: not judged");
    }
    // What the watched station did wrong in this hold: its own failure, or
    // added to the lapse's.
    if (!h.watch_failures.isEmpty()) {
        const QString first = h.watch_failures.first().section(QStringLiteral("  "), 1, 1).trimmed();
        if (c.failure_type.isEmpty()) {
            c.failure_type = QStringLiteral("watch");
            c.failure_message = QStringLiteral("the station under test: %1").arg(first);
            c.failure_text = h.watch_failures.join(QLatin1Char('\n'));
        } else {
            c.failure_message += QStringLiteral("; the station under test: %1").arg(first);
            c.failure_text += QLatin1Char('\n') + h.watch_failures.join(QLatin1Char('\n'));
        }
    }
    return c;
}

Case count_case(const QString& name, const char* type, qint64 count, const QStringList& details)
{
    Case c;
    c.name = name;
    if (count > 0) {
        c.failure_type = QLatin1String(type);
        c.failure_message = QStringLiteral("%1: %2").arg(name).arg(count);
        c.failure_text = details.join(QLatin1Char('\n'));
        if (count > details.size())
            c.failure_text += QStringLiteral("\n... %1 more").arg(count - details.size());
    }
    return c;
}

std::vector<Case> stream_cases(const RunRecord& run, const StreamRecord& lane)
{
    std::vector<Case> cases;
    for (const HoldCase& h : lane.holds)
        cases.push_back(hold_case(run, h));
    if (lane.unlisted_holds > 0 || lane.unlisted_lapses > 0) {
        Case c;
        c.name = QStringLiteral("holds not listed one by one");
        c.out = QStringLiteral("%1 holds beyond the report's limit of %2 cases or from senders beyond %3 lanes")
                    .arg(lane.unlisted_holds)
                    .arg(MAX_HOLD_CASES)
                    .arg(MAX_LANES);
        if (lane.unlisted_lapses > 0) {
            c.failure_type = QStringLiteral("lapse");
            c.failure_message = QStringLiteral("%1 lapses, longest silence %2 ms")
                                    .arg(lane.unlisted_lapses)
                                    .arg(lane.unlisted_max_silence_ms);
        }
        cases.push_back(c);
    }
    // A sender never heard with a valid datagram has no sequence to check.
    if (!lane.station.isNull() || lane.seq_problems > 0)
        cases.push_back(count_case(QStringLiteral("seq problems"), "seq", lane.seq_problems, lane.seq_details));
    cases.push_back(count_case(QStringLiteral("malformed datagrams"), "malformed", lane.malformed_count,
                               lane.malformed_details));
    return cases;
}

// Station and band, as a CI server keeps a history by name; the sender's
// address (an ephemeral port) is a property.
QString base_suite_name(const StreamRecord& lane)
{
    if (lane.from.isEmpty())
        return QStringLiteral("other senders");
    if (lane.station.isNull())
        return QStringLiteral("(no valid datagram)");
    return QStringLiteral("%1, %2").arg(lane.station, lane.band);
}

// Where two senders share a name, the later ones get an index: "S, 144 (2)".
QStringList suite_names(const RunRecord& run)
{
    QStringList names;
    QHash<QString, int> seen;
    for (const StreamRecord& lane : run.streams) {
        const QString base = base_suite_name(lane);
        const int n = ++seen[base];
        names << (n == 1 ? base : QStringLiteral("%1 (%2)").arg(base).arg(n));
    }
    return names;
}

Case run_case(const QString& name, const char* type, bool failed, const QString& message,
              const QString& out = QString())
{
    Case c;
    c.name = name;
    c.out = out;
    if (failed) {
        c.failure_type = QLatin1String(type);
        c.failure_message = message;
        c.failure_text = message;
    }
    return c;
}

// What fails the run beyond any one stream: each its own case, so that every
// reason the run fails is a failing case.
std::vector<Case> run_cases(const RunTotals& t)
{
    std::vector<Case> cases;
    if (t.expect_holds > 0)
        cases.push_back(run_case(QStringLiteral("holds expected"), "expect_holds", t.holds_ended < t.expect_holds,
                                 QStringLiteral("%1 holds ended, %2 expected").arg(t.holds_ended).arg(t.expect_holds),
                                 QStringLiteral("expect_holds=%1 holds_ended=%2").arg(t.expect_holds).arg(t.holds_ended)));
    if (t.forward_errors >= 0)
        cases.push_back(run_case(QStringLiteral("forwarding"), "forward", t.forward_errors > 0,
                                 QStringLiteral("%1 datagrams could not be forwarded").arg(t.forward_errors),
                                 QStringLiteral("forward_errors=%1").arg(t.forward_errors)));
    if (t.untracked > 0)
        cases.push_back(run_case(QStringLiteral("senders tracked"), "untracked", true,
                                 QStringLiteral("%1 datagrams from senders not followed: every stream held")
                                     .arg(t.untracked)));
    if (t.kernel_drops > 0)
        cases.push_back(run_case(QStringLiteral("datagrams received"), "kernel_drops", true,
                                 QStringLiteral("%1 datagrams were never checked: the receive queue was full")
                                     .arg(t.kernel_drops)));
    if (!t.report_error.isEmpty())
        cases.push_back(run_case(QStringLiteral("reports written"), "report", true, t.report_error));
    return cases;
}

struct Counts {
    qint64 tests = 0;
    qint64 failures = 0;
    qint64 skipped = 0;
    qint64 time_ms = 0;

    void add(const Case& c)
    {
        ++tests;
        failures += c.failure_type.isEmpty() ? 0 : 1;
        skipped += c.skipped.isEmpty() ? 0 : 1;
        time_ms += c.time_ms;
    }
    void add(const Counts& o)
    {
        tests += o.tests;
        failures += o.failures;
        skipped += o.skipped;
        time_ms += o.time_ms;
    }
    void write(QXmlStreamWriter& w) const
    {
        w.writeAttribute(QStringLiteral("tests"), QString::number(tests));
        w.writeAttribute(QStringLiteral("failures"), QString::number(failures));
        w.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
        w.writeAttribute(QStringLiteral("skipped"), QString::number(skipped));
        w.writeAttribute(QStringLiteral("time"), seconds(time_ms));
    }
};

void write_case(QXmlStreamWriter& w, const QString& classname, const Case& c)
{
    w.writeStartElement(QStringLiteral("testcase"));
    w.writeAttribute(QStringLiteral("classname"), xml_safe(classname));
    w.writeAttribute(QStringLiteral("name"), xml_safe(c.name));
    w.writeAttribute(QStringLiteral("time"), seconds(c.time_ms));
    if (!c.failure_type.isEmpty()) {
        w.writeStartElement(QStringLiteral("failure"));
        w.writeAttribute(QStringLiteral("message"), xml_safe(c.failure_message));
        w.writeAttribute(QStringLiteral("type"), c.failure_type);
        w.writeCharacters(xml_safe(c.failure_text));
        w.writeEndElement();
    }
    if (!c.skipped.isEmpty()) {
        w.writeEmptyElement(QStringLiteral("skipped"));
        w.writeAttribute(QStringLiteral("message"), c.skipped);
    }
    if (!c.out.isEmpty())
        w.writeTextElement(QStringLiteral("system-out"), xml_safe(c.out));
    w.writeEndElement();
}

void write_property(QXmlStreamWriter& w, const char* name, const QString& value)
{
    w.writeEmptyElement(QStringLiteral("property"));
    w.writeAttribute(QStringLiteral("name"), QLatin1String(name));
    w.writeAttribute(QStringLiteral("value"), xml_safe(value));
}

}  // namespace

// The station under test as a whole: what no hold case holds, and what
// could not be judged (skipped, never passed).
std::vector<Case> watch_cases(const RunRecord& run)
{
    const WatchTotals& t = run.watch_totals;
    Case c;
    c.name = QStringLiteral("station under test: %1").arg(t.what);
    c.out = QStringLiteral("watch_problems=%1").arg(t.problems);
    if (run.watch.unattached_count > 0) {
        c.failure_type = QStringLiteral("watch");
        c.failure_message = QStringLiteral("%1 problem(s) outside any hold case").arg(run.watch.unattached_count);
        c.failure_text = run.watch.unattached.join(QLatin1Char('\n'));
    } else if (!t.not_judged.isEmpty()) {
        const QString why = QStringLiteral("not judged (%1)").arg(t.not_judged.join(QStringLiteral("; ")));
        if (t.expect_watch) {
            c.failure_type = QStringLiteral("not_judged");
            c.failure_message = why;
        } else {
            c.skipped = why;
        }
    }
    return {c};
}

QByteArray junit_xml(const RunRecord& run, const RunTotals& totals, const QString& hostname)
{
    struct Suite {
        QString name;
        const StreamRecord* lane = nullptr;  // null: the run's own suite
        std::vector<Case> cases;
        Counts counts;
    };
    std::vector<Suite> suites;
    const QStringList names = suite_names(run);
    for (size_t i = 0; i < run.streams.size(); ++i)
        suites.push_back({names[int(i)], &run.streams[i], stream_cases(run, run.streams[i]), Counts()});
    std::vector<Case> whole_run = run_cases(totals);
    if (!whole_run.empty())
        suites.push_back({QStringLiteral("keyline-station run"), nullptr, whole_run, Counts()});
    if (run.watch_totals.watching)
        suites.push_back({QStringLiteral("watch"), nullptr, watch_cases(run), Counts()});
    Counts total;
    for (Suite& suite : suites) {
        for (const Case& one : suite.cases)
            suite.counts.add(one);
        total.add(suite.counts);
    }
    const QString timestamp =
        QDateTime::fromMSecsSinceEpoch(run.wall_start_ms).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));

    QByteArray bytes;
    QXmlStreamWriter w(&bytes);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement(QStringLiteral("testsuites"));
    w.writeAttribute(QStringLiteral("name"), QStringLiteral("keyline-station"));
    total.write(w);
    for (const Suite& suite : suites) {
        w.writeStartElement(QStringLiteral("testsuite"));
        w.writeAttribute(QStringLiteral("name"), xml_safe(suite.name));
        suite.counts.write(w);
        w.writeAttribute(QStringLiteral("timestamp"), timestamp);
        w.writeAttribute(QStringLiteral("hostname"), xml_safe(hostname));
        if (suite.lane) {
            w.writeStartElement(QStringLiteral("properties"));
            write_property(w, "from", suite.lane->from);
            write_property(w, "station", suite.lane->station);
            write_property(w, "band", suite.lane->band);
            w.writeEndElement();
        }
        for (const Case& c : suite.cases)
            write_case(w, suite.name, c);
        w.writeEndElement();
    }
    w.writeEndElement();
    w.writeEndDocument();
    return bytes;
}
