#include "conform/conform_reports.h"

#include <QXmlStreamWriter>

#include "conform/scenarios.h"

namespace {

QString seconds(qint64 ms)
{
    return QString::number(static_cast<double>(ms) / 1000.0, 'f', 3);
}

// The observed level at t_ms: the last change at or before it.
bool observed_at(const ObservedLane& lane, qint64 t_ms)
{
    bool on = false;
    for (const ObservedChange& change : lane.changes) {
        if (change.at_ms > t_ms)
            break;
        on = change.on;
    }
    return on;
}

}  // namespace

QByteArray junit_xml(const std::vector<ScenarioResult>& results, const QString& station_text,
                     const QDateTime& started)
{
    const ConformTally counts = tally(results);
    qint64 total_ms = 0;
    for (const ScenarioResult& result : results)
        total_ms += result.end_ms - result.start_ms;

    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("testsuites"));
    xml.writeStartElement(QStringLiteral("testsuite"));
    xml.writeAttribute(QStringLiteral("name"), QStringLiteral("keyline-conform"));
    xml.writeAttribute(QStringLiteral("tests"), QString::number(results.size()));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(counts.failed));
    xml.writeAttribute(QStringLiteral("errors"), QString::number(counts.not_judged));
    xml.writeAttribute(QStringLiteral("skipped"), QStringLiteral("0"));
    xml.writeAttribute(QStringLiteral("time"), seconds(total_ms));
    xml.writeAttribute(QStringLiteral("timestamp"), started.toString(Qt::ISODate));
    xml.writeAttribute(QStringLiteral("hostname"), station_text);
    for (const ScenarioResult& result : results) {
        xml.writeStartElement(QStringLiteral("testcase"));
        xml.writeAttribute(QStringLiteral("classname"), QStringLiteral("keyline-conform"));
        xml.writeAttribute(QStringLiteral("name"), result.scenario->name);
        xml.writeAttribute(QStringLiteral("time"), seconds(result.end_ms - result.start_ms));
        QString offsets;
        for (const Finding& finding : result.findings)
            offsets += QStringLiteral("%1 at +%2 ms offset_ms=%3 lasted_ms=%4: %5\n")
                           .arg(finding.kind)
                           .arg(finding.at_ms - result.start_ms)
                           .arg(finding.offset_ms)
                           .arg(finding.lasted_ms)
                           .arg(finding.text);
        if (result.outcome == Outcome::Fail) {
            xml.writeStartElement(QStringLiteral("failure"));
            xml.writeAttribute(QStringLiteral("type"), result.findings.empty() ? QStringLiteral("fail")
                                                                               : result.findings.front().kind);
            xml.writeAttribute(QStringLiteral("message"), result.text);
            xml.writeCharacters(offsets);
            xml.writeEndElement();
        } else if (result.outcome == Outcome::NotJudged) {
            xml.writeStartElement(QStringLiteral("error"));
            xml.writeAttribute(QStringLiteral("type"), QStringLiteral("not_judged"));
            xml.writeAttribute(QStringLiteral("message"), QStringLiteral("not judged: ") + result.text);
            xml.writeEndElement();
        }
        xml.writeTextElement(QStringLiteral("system-out"),
                             QStringLiteral("rule=%1 must: %2\n%3").arg(result.scenario->rule, result.scenario->must,
                                                                       offsets));
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return bytes;
}

QByteArray timeline_svg(const std::vector<ScenarioResult>& results, const ObservedLane& observed,
                        const QString& title)
{
    constexpr double PX_PER_S = 60.0;
    constexpr int LEFT = 200, TOP = 50, LANE = 26, SECTION_GAP = 10;
    const int height = TOP + 3 * LANE + 60;
    double width = LEFT + 20;
    for (const ScenarioResult& result : results)
        width += (result.end_ms - result.start_ms) / 1000.0 * PX_PER_S + SECTION_GAP;

    QByteArray bytes;
    QXmlStreamWriter svg(&bytes);
    svg.writeStartDocument();
    svg.writeStartElement(QStringLiteral("svg"));
    svg.writeDefaultNamespace(QStringLiteral("http://www.w3.org/2000/svg"));
    svg.writeAttribute(QStringLiteral("width"), QString::number(qRound(width)));
    svg.writeAttribute(QStringLiteral("height"), QString::number(height));
    svg.writeAttribute(QStringLiteral("font-family"), QStringLiteral("sans-serif"));
    svg.writeAttribute(QStringLiteral("font-size"), QStringLiteral("11"));
    auto text = [&](double x, double y, const QString& content, const QString& fill = QStringLiteral("#000")) {
        svg.writeStartElement(QStringLiteral("text"));
        svg.writeAttribute(QStringLiteral("x"), QString::number(x, 'f', 1));
        svg.writeAttribute(QStringLiteral("y"), QString::number(y, 'f', 1));
        svg.writeAttribute(QStringLiteral("fill"), fill);
        svg.writeCharacters(content);
        svg.writeEndElement();
    };
    auto rect = [&](double x, double y, double w, double h, const QString& fill) {
        if (w <= 0)
            return;
        svg.writeEmptyElement(QStringLiteral("rect"));
        svg.writeAttribute(QStringLiteral("x"), QString::number(x, 'f', 1));
        svg.writeAttribute(QStringLiteral("y"), QString::number(y, 'f', 1));
        svg.writeAttribute(QStringLiteral("width"), QString::number(qMax(w, 0.5), 'f', 1));
        svg.writeAttribute(QStringLiteral("height"), QString::number(h, 'f', 1));
        svg.writeAttribute(QStringLiteral("fill"), fill);
    };
    rect(0, 0, width, height, QStringLiteral("#fff"));
    text(10, 20, title);
    const double model_y = TOP + LANE, observed_y = TOP + 2 * LANE;
    text(10, model_y + 15, QStringLiteral("model: inhibited"));
    text(10, observed_y + 15, QStringLiteral("observed: ") + observed.name);
    text(10, height - 12,
         QStringLiteral("blue: inhibited (model) / observed on; red: the station and the model disagree"),
         QStringLiteral("#555"));

    double x0 = LEFT;
    for (const ScenarioResult& result : results) {
        const qint64 length = result.end_ms - result.start_ms;
        const double w = length / 1000.0 * PX_PER_S;
        auto x_of = [&](qint64 t) { return x0 + (t - result.start_ms) / 1000.0 * PX_PER_S; };
        const QString colour = result.outcome == Outcome::Pass   ? QStringLiteral("#2a7")
                               : result.outcome == Outcome::Fail ? QStringLiteral("#c22")
                                                                  : QStringLiteral("#c80");
        rect(x0, TOP - 4, w, 3, colour);
        text(x0, TOP - 10, result.scenario->name, colour);
        text(x0, TOP + 12, QLatin1String(outcome_label(result.outcome)), colour);
        rect(x0, model_y + 2, w, LANE - 4, QStringLiteral("#eee"));
        rect(x0, observed_y + 2, w, LANE - 4, QStringLiteral("#eee"));
        // The lanes in 10 ms steps: finer than a pixel at this scale, bounded in size.
        constexpr qint64 STEP = 10;
        for (int lane = 0; lane < 2; ++lane) {
            // Runs of one kind: the level (1) and whether it disagrees (2).
            qint64 run_start = result.start_ms;
            int run_kind = -1;
            auto flush = [&](qint64 t) {
                if (run_kind > 0)
                    rect(x_of(run_start), (lane == 0 ? model_y : observed_y) + 4, x_of(t) - x_of(run_start),
                         LANE - 8, run_kind >= 2 ? QStringLiteral("#d33") : QStringLiteral("#36c"));
                run_start = t;
            };
            for (qint64 t = result.start_ms; t < result.end_ms; t += STEP) {
                const bool model = model_holds(result.model, t);
                const bool seen = observed_at(observed, t);
                const bool seen_inhibited = observed.on_means_inhibited ? seen : !seen;
                // Within the grace after a change of the model nothing disagrees yet.
                const bool settled = model_holds(result.model, t - observed.grace_ms) == model;
                const bool disagree =
                    lane == 1 && settled && seen_inhibited != model && (observed.both_ways || seen);
                const int kind = ((lane == 0 ? model : seen) ? 1 : 0) + (disagree ? 2 : 0);
                if (kind != run_kind) {
                    flush(t);
                    run_kind = kind;
                }
            }
            flush(result.end_ms);
        }
        x0 += w + SECTION_GAP;
    }
    svg.writeEndElement();
    svg.writeEndDocument();
    return bytes;
}
