#include "report/timeline_svg.h"

#include <QDateTime>
#include <QXmlStreamWriter>

#include <cmath>

namespace {

constexpr int WIDTH = 1280;
constexpr int PLOT_X0 = 260;
constexpr int PLOT_X1 = WIDTH - 30;
constexpr int HEADER_H = 124;
constexpr int LANE_H = 72;
constexpr int LABEL_CHARS = 26;

const char* const HOLD_COLOUR = "#3b7dd8";
const char* const ARRIVAL_COLOUR = "#333333";
const char* const LAPSE_COLOUR = "#d62728";
const char* const SEQ_COLOUR = "#ff7f0e";
const char* const MALFORMED_COLOUR = "#9467bd";

// Axis steps, in ms; the smallest that gives at most MAX_TICKS ticks is used.
const qint64 STEPS[] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 15000, 30000,
                        60000, 120000, 300000, 600000, 900000, 1800000, 3600000, 7200000, 10800000,
                        21600000, 43200000, 86400000};
constexpr qint64 MAX_TICKS = 8;

struct Scale {
    qint64 start_ms = 0;
    qint64 span_ms = 1;
    double px_per_ms = 1.0;
    qint64 merge_ms = 0;  // a pixel's worth

    double x(qint64 at_ms) const
    {
        const double x = PLOT_X0 + static_cast<double>(at_ms - start_ms) * px_per_ms;
        return qBound<double>(PLOT_X0, x, PLOT_X1);
    }
    double width(const Mark& m, double least) const
    {
        return qMax(least, x(m.end_ms) - x(m.start_ms));
    }
};

QString num(double value)
{
    return QString::number(value, 'f', 1);
}

QString shortened(const QString& text)
{
    return text.size() <= LABEL_CHARS ? text : text.left(LABEL_CHARS - 1) + QChar(0x2026);
}

struct Svg {
    QXmlStreamWriter& w;

    void rect(double x, double y, double width, double height, const char* fill)
    {
        w.writeEmptyElement(QStringLiteral("rect"));
        w.writeAttribute(QStringLiteral("x"), num(x));
        w.writeAttribute(QStringLiteral("y"), num(y));
        w.writeAttribute(QStringLiteral("width"), num(width));
        w.writeAttribute(QStringLiteral("height"), num(height));
        w.writeAttribute(QStringLiteral("fill"), QLatin1String(fill));
    }
    void line(double x1, double y1, double x2, double y2, const char* stroke)
    {
        w.writeEmptyElement(QStringLiteral("line"));
        w.writeAttribute(QStringLiteral("x1"), num(x1));
        w.writeAttribute(QStringLiteral("y1"), num(y1));
        w.writeAttribute(QStringLiteral("x2"), num(x2));
        w.writeAttribute(QStringLiteral("y2"), num(y2));
        w.writeAttribute(QStringLiteral("stroke"), QLatin1String(stroke));
    }
    // Texts are data: written as character data, never as markup.
    void text(double x, double y, const QString& content, const char* style = nullptr,
              const char* anchor = nullptr)
    {
        w.writeStartElement(QStringLiteral("text"));
        w.writeAttribute(QStringLiteral("x"), num(x));
        w.writeAttribute(QStringLiteral("y"), num(y));
        if (style)
            w.writeAttribute(QStringLiteral("class"), QLatin1String(style));
        if (anchor)
            w.writeAttribute(QStringLiteral("text-anchor"), QLatin1String(anchor));
        w.writeCharacters(xml_safe(content));
        w.writeEndElement();
    }
};

QString tick_label(qint64 wall, qint64 step)
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(wall);
    if (step >= 60000)
        return t.toString(QStringLiteral("HH:mm"));
    if (step >= 1000)
        return t.toString(QStringLiteral("HH:mm:ss"));
    return t.toString(QStringLiteral("HH:mm:ss.zzz"));
}

QString length_text(qint64 ms)
{
    if (ms < 60000)
        return QStringLiteral("%1 s").arg(QString::number(ms / 1000.0, 'f', 3));
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2:%3 h")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

void draw_axis(Svg& svg, const RunRecord& run, const Scale& scale, double top, double bottom)
{
    qint64 step = STEPS[sizeof STEPS / sizeof STEPS[0] - 1];
    for (const qint64 s : STEPS) {
        if (scale.span_ms / s <= MAX_TICKS) {
            step = s;
            break;
        }
    }
    const qint64 wall0 = wall_ms(run, scale.start_ms);
    // Ticks fall on round local times.
    const qint64 offset =
        static_cast<qint64>(QDateTime::fromMSecsSinceEpoch(wall0).offsetFromUtc()) * 1000;
    qint64 first = (wall0 + offset + step - 1) / step * step - offset;
    if (wall0 + offset < 0)
        first = wall0;
    svg.line(PLOT_X0, bottom, PLOT_X1, bottom, "#000000");
    for (qint64 wall = first; wall <= wall0 + scale.span_ms; wall += step) {
        const double x = scale.x(scale.start_ms + (wall - wall0));
        svg.line(x, top, x, bottom, "#dddddd");
        svg.line(x, bottom, x, bottom + 5, "#000000");
        svg.text(x, bottom + 18, tick_label(wall, step), "axis", "middle");
    }
}

// A mark as drawn, from x0 to x1 in pixels.
struct Drawn {
    double x0 = 0;
    double x1 = 0;
    Mark mark;
};

// The marks as drawn, each at least `least` pixels wide: one that starts
// within a pixel of the last one's end joins it, so a list never draws more
// rects than its pixels allow, however many marks it holds.
std::vector<Drawn> drawn_marks(const Scale& scale, const MarkList& list, double least)
{
    std::vector<Drawn> out;
    for (const Mark& m : list.marks) {
        Drawn d;
        d.x0 = scale.x(m.start_ms) - (least > 1 ? least / 2 : 0);
        d.x1 = d.x0 + scale.width(m, least);
        d.mark = m;
        if (!out.empty() && d.x0 <= out.back().x1 + 1.0) {
            Drawn& last = out.back();
            last.x1 = qMax(last.x1, d.x1);
            last.mark.end_ms = qMax(last.mark.end_ms, m.end_ms);
            last.mark.count += m.count;
            if (m.value > last.mark.value) {
                last.mark.value = m.value;
                last.mark.detail = m.detail;
            }
            continue;
        }
        out.push_back(d);
    }
    return out;
}

void draw_marks(Svg& svg, const Scale& scale, const MarkList& list, double y, double height,
                const char* colour, double least)
{
    for (const Drawn& d : drawn_marks(scale, list, least))
        svg.rect(d.x0, y, d.x1 - d.x0, height, colour);
}

void draw_lane(Svg& svg, const StreamRecord& lane, const Scale& scale, double y)
{
    if (lane.from.isEmpty()) {
        svg.text(10, y + 22, QStringLiteral("(other senders)"), "name");
    } else {
        svg.text(10, y + 22, shortened(lane.station.isNull() ? QStringLiteral("(no valid datagram)")
                                                            : lane.station), "name");
        if (!lane.station.isNull())
            svg.text(10, y + 40, shortened(QStringLiteral("band ") + lane.band), "label");
        svg.text(10, y + 56, shortened(lane.from), "from");
    }
    draw_marks(svg, scale, lane.hold_bars, y + 18, 16, HOLD_COLOUR, 1);
    draw_marks(svg, scale, lane.arrivals, y + 5, 11, ARRIVAL_COLOUR, 1);
    draw_marks(svg, scale, lane.seq, y + 37, 8, SEQ_COLOUR, 4);
    draw_marks(svg, scale, lane.malformed, y + 47, 8, MALFORMED_COLOUR, 4);

    double free_from = 0;  // where the next lapse text may start
    for (const Drawn& d : drawn_marks(scale, lane.lapses, 2)) {
        const Mark& m = d.mark;
        const double x = d.x0 + 1;
        svg.rect(d.x0, y + 2, d.x1 - d.x0, LANE_H - 14, LAPSE_COLOUR);
        const QString what = m.count == 1
            ? QStringLiteral("lapse: %1 ms silent (ttl %2)").arg(m.value).arg(m.detail)
            : QStringLiteral("%1 lapses, longest %2 ms silent").arg(m.count).arg(m.value);
        const double width = what.size() * 6.0;
        double at = x + 4;
        if (at + width > PLOT_X1)
            at = qMax<double>(PLOT_X0, x - 4 - width);
        if (at >= free_from) {
            svg.text(at, y + LANE_H - 3, what, "lapse");
            free_from = at + width + 8;
        }
    }
}

// The station under test, under the model: the model's inhibit (thin), what
// the station was seen doing (thick), red where they disagreed.
const char* const SEEN_COLOUR = "#2a7d2a";

void draw_spans(Svg& svg, const Scale& scale, const std::vector<WatchSpan>& spans, qint64 end_ms, double y,
                double height, const char* colour)
{
    for (const WatchSpan& span : spans) {
        Mark m;
        m.start_ms = span.start_ms;
        m.end_ms = span.end_ms < 0 ? end_ms : span.end_ms;
        svg.rect(scale.x(m.start_ms), y, scale.width(m, 2), height, colour);
    }
}

void draw_watch_lane(Svg& svg, const RunRecord& run, int side, const Scale& scale, double y)
{
    svg.text(10, y + 22, QStringLiteral("station under test"), "name");
    svg.text(10, y + 40, side == 0 ? QStringLiteral("rig: PTT on") : QStringLiteral("log: says inhibited"), "label");
    svg.text(10, y + 56, shortened(run.watch_totals.side_what[side]), "from");
    draw_spans(svg, scale, run.watch.model, run.end_ms, y + 6, 8, HOLD_COLOUR);
    draw_spans(svg, scale, run.watch.level[side], run.end_ms, y + 18, 16, SEEN_COLOUR);
    draw_spans(svg, scale, run.watch.problems[side], run.end_ms, y + 38, 10, LAPSE_COLOUR);
    const qint64 problems = static_cast<qint64>(run.watch.problems[side].size());
    if (problems > 0)
        svg.text(PLOT_X0 + 4, y + LANE_H - 3,
                 QStringLiteral("%1 disagreement(s) with the model").arg(problems), "lapse");
}

void draw_summary(Svg& svg, const RunTotals& t)
{
    const double x = WIDTH - 300;
    svg.w.writeEmptyElement(QStringLiteral("rect"));
    svg.w.writeAttribute(QStringLiteral("x"), num(x - 10));
    svg.w.writeAttribute(QStringLiteral("y"), QStringLiteral("10"));
    svg.w.writeAttribute(QStringLiteral("width"), QStringLiteral("290"));
    svg.w.writeAttribute(QStringLiteral("height"), QStringLiteral("104"));
    svg.w.writeAttribute(QStringLiteral("fill"), QStringLiteral("#ffffff"));
    svg.w.writeAttribute(QStringLiteral("stroke"), QStringLiteral("#888888"));
    svg.text(x, 30, QStringLiteral("SUMMARY  problems=%1").arg(t.problems), t.problems > 0 ? "bad" : "good");
    svg.text(x, 52, QStringLiteral("holds=%1  lapses=%2").arg(t.holds).arg(t.lapses), "label");
    svg.text(x, 72, QStringLiteral("seq_problems=%1  malformed=%2").arg(t.seq_problems).arg(t.malformed),
             "label");
    svg.text(x, 92,
             QStringLiteral("streams=%1  evicted=%2").arg(t.streams).arg(t.evicted) +
                 (t.untracked > 0 ? QStringLiteral("  untracked=%1").arg(t.untracked) : QString()),
             "label");
}

void draw_legend(Svg& svg, double y, qint64 merge_ms)
{
    struct Entry {
        const char* colour;
        const char* text;
        double width;
    };
    const Entry entries[] = {{HOLD_COLOUR, "hold", 24},
                             {ARRIVAL_COLOUR, "datagram arrival", 2},
                             {LAPSE_COLOUR, "lapse (silence, ttl)", 4},
                             {SEQ_COLOUR, "seq problem", 8},
                             {MALFORMED_COLOUR, "malformed datagram", 8}};
    double x = PLOT_X0;
    for (const Entry& e : entries) {
        svg.rect(x, y - 10, e.width, 12, e.colour);
        svg.text(x + e.width + 6, y, QLatin1String(e.text), "label");
        x += e.width + 24 + static_cast<double>(qstrlen(e.text)) * 7.0;
    }
    if (merge_ms > 0)
        svg.text(PLOT_X0, y + 20,
                 QStringLiteral("Marks within a pixel (%1 ms) of each other are drawn as one.").arg(merge_ms), "from");
}

}  // namespace

QByteArray timeline_svg(const RunRecord& run, const RunTotals& totals)
{
    Scale scale;
    scale.start_ms = run.start_ms;
    scale.span_ms = qMax<qint64>(1, run.end_ms - run.start_ms);
    scale.px_per_ms = static_cast<double>(PLOT_X1 - PLOT_X0) / static_cast<double>(scale.span_ms);
    scale.merge_ms = static_cast<qint64>(std::floor(1.0 / scale.px_per_ms));

    std::vector<int> watch_sides;
    if (run.watch_totals.watching)
        for (int side = 0; side < 2; ++side)
            if (run.watch_totals.sides[side])
                watch_sides.push_back(side);
    const int lanes = qMax(1, static_cast<int>(run.streams.size() + watch_sides.size()));
    const double lanes_top = HEADER_H;
    const double axis_y = lanes_top + lanes * LANE_H + 4;
    const int height = static_cast<int>(axis_y) + 84;

    QByteArray bytes;
    QXmlStreamWriter w(&bytes);
    Svg svg{w};
    w.writeStartDocument();
    w.writeStartElement(QStringLiteral("svg"));
    w.writeDefaultNamespace(QStringLiteral("http://www.w3.org/2000/svg"));
    w.writeAttribute(QStringLiteral("width"), QString::number(WIDTH));
    w.writeAttribute(QStringLiteral("height"), QString::number(height));
    w.writeAttribute(QStringLiteral("viewBox"), QStringLiteral("0 0 %1 %2").arg(WIDTH).arg(height));
    w.writeTextElement(QStringLiteral("title"), QStringLiteral("keyline-station timeline"));
    w.writeTextElement(
        QStringLiteral("style"),
        QStringLiteral("text{font-family:'DejaVu Sans',Arial,Helvetica,sans-serif;font-size:12px;fill:#222}"
                       ".title{font-size:18px;font-weight:bold}.name{font-size:13px;font-weight:bold}"
                       ".from{font-size:11px;fill:#666}.axis{font-size:11px}"
                       ".lapse{font-size:11px;fill:#d62728;font-weight:bold}"
                       ".bad{font-weight:bold;fill:#d62728}.good{font-weight:bold;fill:#2a7d2a}"));
    svg.rect(0, 0, WIDTH, height, "#ffffff");

    const QDateTime start = QDateTime::fromMSecsSinceEpoch(run.wall_start_ms);
    svg.text(10, 30, QStringLiteral("keyline-station timeline"), "title");
    svg.text(10, 54, QStringLiteral("from %1 (%2)  for %3")
                         .arg(start.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")),
                              start.timeZoneAbbreviation(), length_text(run.end_ms - run.start_ms)),
             "label");
    svg.text(10, 74, QStringLiteral("One lane per sender: station, band, address:port. Times are the station's, "
                                    "in local wall time."),
             "from");
    RunTotals shown = totals;
    shown.problems += run.watch_totals.watching ? run.watch_totals.problems : 0;
    draw_summary(svg, shown);

    for (size_t i = 0; i < run.streams.size(); i += 2)
        svg.rect(0, lanes_top + static_cast<double>(i) * LANE_H, WIDTH, LANE_H, "#f4f4f4");
    draw_axis(svg, run, scale, lanes_top, axis_y);
    for (size_t i = 0; i < run.streams.size(); ++i)
        draw_lane(svg, run.streams[i], scale, lanes_top + static_cast<double>(i) * LANE_H);
    for (size_t i = 0; i < watch_sides.size(); ++i)
        draw_watch_lane(svg, run, watch_sides[i], scale,
                        lanes_top + static_cast<double>(run.streams.size() + i) * LANE_H);
    if (run.streams.empty() && watch_sides.empty())
        svg.text((PLOT_X0 + PLOT_X1) / 2.0, lanes_top + LANE_H / 2.0,
                 QStringLiteral("no datagram was received"), "label", "middle");
    draw_legend(svg, axis_y + 50, scale.merge_ms);
    if (!watch_sides.empty()) {
        svg.rect(PLOT_X0 + 400, axis_y + 60, 24, 12, SEEN_COLOUR);
        svg.text(PLOT_X0 + 430, axis_y + 70,
                 QStringLiteral("station under test: PTT on / says inhibited; red: disagrees with the model"),
                 "from");
    }

    w.writeEndElement();
    w.writeEndDocument();
    return bytes;
}
