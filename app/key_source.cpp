#include "app/key_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <QByteArray>

#include "app/agent_options.h"
#include "app/cw_options.h"
#include "morse/key_schedule.h"
#include "input/key_script_file.h"
#include "morse/morse_style.h"
#include "monitor/keying_monitor.h"

namespace {

constexpr int SHOWN_TEXT_CHARS = 40;

void say_waiting_for_script(const QString& path)
{
    const QByteArray line = QStringLiteral("keyline-bench: --key-script %1: waiting for the script "
                                           "(nothing to read yet)\n")
                                .arg(path)
                                .toLocal8Bit();
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
}

qint64 dah_ms(int wpm)
{
    return 3 * 1200 / wpm;
}

// The lengths in ms of the schedule's marks, in order.
QList<qint64> mark_lengths(const KeySchedule& s)
{
    QList<qint64> marks;
    for (std::size_t i = 0; i < s.edges.size(); ++i)
        if (s.edges[i].down && i + 1 < s.edges.size())
            marks << schedule_ms(s, s.edges[i + 1].at) - schedule_ms(s, s.edges[i].at);
    return marks;
}

// A mark of LONG_MARK_MS or more that starts a hold: the keying's first, or
// one after a gap the hang did not outlast.
struct LongStart {
    int mark = 0;  // from 0
    qint64 ms = 0;
    qint64 at_ms = 0;
};

// Plays the schedule through the KEYing monitor's own rules, with its times.
QList<LongStart> long_marks_starting_holds(const KeySchedule& s)
{
    QList<LongStart> out;
    Monitor m;
    qint64 deadline = -1;
    m.hang_deadline_ms = &deadline;
    bool held = false;
    m.hold.start_hold = [&held] { held = true; };
    m.hold.release_hold = [&held](const char*) { held = false; };
    bool starts = false;
    qint64 mark_start = 0;
    int mark = 0;
    for (std::size_t i = 0; i < s.edges.size(); ++i) {
        const qint64 t = schedule_ms(s, s.edges[i].at);
        check_hang_expiry(m, t);
        if (s.edges[i].down) {
            starts = !held;
            mark_start = t;
            on_key_assert(m, t);
            continue;
        }
        on_key_open(m, t);
        if (starts && t - mark_start >= LONG_MARK_MS)
            out << LongStart{mark, t - mark_start, mark_start};
        ++mark;
    }
    return out;
}

}  // namespace

bool load_key_schedule(const AgentOptions& o, KeySchedule* schedule, QString* error)
{
    if (o.key_text_set) {
        QString reason;
        if (morse_schedule(o.key_text, o.wpm, schedule, &reason))
            return true;
        *error = QStringLiteral("keyline-bench: --key-text: %1").arg(reason);
        return false;
    }
    QByteArray content;
    if (!read_key_script(o.key_script, &content, error, say_waiting_for_script) ||
        !parse_key_script(content, o.key_script, schedule, error)) {
        *error = QStringLiteral("keyline-bench: --key-script %1").arg(*error);
        return false;
    }
    if (schedule->edges.empty() && o.repeat == 0) {
        *error = QStringLiteral("keyline-bench: --key-script %1: only \"up\" lines; with --repeat 0 it "
                                "would key nothing until quit")
                     .arg(o.key_script);
        return false;
    }
    return true;
}

int slowest_wpm_without_long_dah()
{
    int wpm = MIN_WPM;
    while (wpm < MAX_WPM && dah_ms(wpm) >= LONG_MARK_MS)
        ++wpm;
    return wpm;
}

QStringList keyed_source_lines(const AgentOptions& o, const KeySchedule& s)
{
    QStringList lines;
    const QList<qint64> marks = mark_lengths(s);
    const qint64 keyed_ms = schedule_ms(s, s.end_units);
    const QString count = marks.size() == 1 ? QStringLiteral("1 mark")
                                            : QStringLiteral("%1 marks").arg(marks.size());
    if (o.key_text_set) {
        QString text = o.key_text.simplified();
        if (text.size() > SHOWN_TEXT_CHARS)
            text = text.left(SHOWN_TEXT_CHARS) + QStringLiteral("...");
        // The marks' own lengths: weight lengthens both; the fist varies
        // each around them.
        const double dit = 1200.0 / o.wpm;
        const double weight = double(o.weight_percent - STANDARD_WEIGHT_PERCENT) / STANDARD_WEIGHT_PERCENT;
        lines << QStringLiteral("Keys \"%1\" in Morse: dit %2 ms, dah %3 ms%4; %5 in %6 ms.")
                     .arg(text)
                     .arg(std::lround(dit * (1.0 + weight)))
                     .arg(std::lround(dit * (3.0 + weight)))
                     .arg(fist_used(o) ? QStringLiteral(" (nominal: the fist varies each)") : QString())
                     .arg(count)
                     .arg(keyed_ms);
    } else {
        lines << QStringLiteral("Keys the script's levels as timed: %1 in %2 ms.").arg(count).arg(keyed_ms);
    }
    // The monitor's own rule: from idle, a mark of LONG_MARK_MS or more is
    // continuous keying and released as it ends. A fixed hang replaces it.
    if (o.fixed_hang_set || marks.isEmpty())
        return lines;
    const QList<LongStart> long_starts = long_marks_starting_holds(s);
    if (o.key_text_set && !long_starts.isEmpty()) {
        lines << QStringLiteral("Slow keying: at %1 WPM a dah lasts %2 ms, and from idle a mark of %3 ms "
                                "or more is continuous keying: a dah that starts the keying is released "
                                "as it ends, and the marks after it take a new hold. From %4 WPM up this "
                                "does not happen.")
                     .arg(o.wpm)
                     .arg(std::lround(3.0 * 1200.0 / o.wpm))
                     .arg(LONG_MARK_MS)
                     .arg(slowest_wpm_without_long_dah());
        return lines;
    }
    if (!o.key_script_set || long_starts.isEmpty())
        return lines;
    // Only where short marks follow: those then take a hold of their own.
    QList<LongStart> said;
    for (const LongStart& l : long_starts)
        if (std::any_of(marks.begin() + l.mark + 1, marks.end(), [](qint64 ms) { return ms < LONG_MARK_MS; }))
            said << l;
    if (said.isEmpty())
        return lines;
    if (said.first().mark == 0) {
        lines << QStringLiteral("Slow keying: the script's first mark lasts %1 ms, and from idle a mark "
                                "of %2 ms or more is continuous keying: it is released as it ends, and "
                                "the short marks after it take a new hold.")
                     .arg(marks.first())
                     .arg(LONG_MARK_MS);
        said.removeFirst();
    }
    if (!said.isEmpty())
        lines << QStringLiteral("Slow keying: %1 of the script's marks of %2 ms or more follow a gap longer "
                                "than the hang (the first lasts %3 ms, at %4 ms), and from idle such a mark "
                                "is continuous keying: it is released as it ends, and the short marks after "
                                "it take a new hold.")
                     .arg(said.size())
                     .arg(LONG_MARK_MS)
                     .arg(said.first().ms)
                     .arg(said.first().at_ms);
    return lines;
}

QString repeated_script_warning(const AgentOptions& o, const KeySchedule& s)
{
    if (!o.key_script_set || o.repeat == 1 || s.edges.empty())
        return QString();
    // A script that ends down gets its closing up edge at its very end.
    const bool ends_down = s.edges.back().at == s.end_units && !s.edges.back().down;
    const bool starts_down = s.edges.front().at == 0 && s.edges.front().down;
    if (!ends_down || !starts_down)
        return QString();
    return QStringLiteral("keyline-bench: --key-script %1:%2: warning: the script ends with the KEY "
                          "down and begins with it down, so with --repeat the last mark of each round "
                          "runs into the first mark of the next; end it with an \"up\" line to key "
                          "the rounds apart")
        .arg(o.key_script)
        .arg(s.last_line);
}

QString key_source_mode_text(const AgentOptions& o)
{
    const QString rounds = o.repeat == 0 ? QStringLiteral("repeated until quit")
        : o.repeat == 1                  ? QStringLiteral("once")
                                         : QStringLiteral("%1 rounds").arg(o.repeat);
    const QString source = o.key_text_set
        ? QStringLiteral("Morse text at %1 WPM").arg(o.wpm) + morse_style_text(o)
        : QStringLiteral("key script %1").arg(o.key_script == QLatin1String("-")
                                                  ? QStringLiteral("from standard input")
                                                  : o.key_script);
    return QStringLiteral("KEY = %1, %2 (no keyboard); quits when done. q/Esc from this terminal.")
        .arg(source, rounds);
}
