#include "app/key_source.h"

#include <algorithm>
#include <cstdio>

#include <QByteArray>

#include "app/agent_options.h"
#include "app/cw_options.h"
#include "morse/key_schedule.h"
#include "input/key_script_file.h"
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
        lines << QStringLiteral("Keys \"%1\" in Morse: dit %2 ms, dah %3 ms; %4 in %5 ms.")
                     .arg(text)
                     .arg(schedule_ms(s, 1))
                     .arg(schedule_ms(s, 3))
                     .arg(count)
                     .arg(keyed_ms);
    } else {
        lines << QStringLiteral("Keys the script's levels as timed: %1 in %2 ms.").arg(count).arg(keyed_ms);
    }
    // The monitor's own rule: from idle, a mark of LONG_MARK_MS or more is
    // continuous keying and released as it ends. A fixed hang replaces it.
    if (o.fixed_hang_set || marks.isEmpty())
        return lines;
    const bool long_mark = std::any_of(marks.begin(), marks.end(), [](qint64 ms) { return ms >= LONG_MARK_MS; });
    if (o.key_text_set && long_mark) {
        lines << QStringLiteral("Slow keying: at %1 WPM a dah lasts %2 ms, and from idle a mark of %3 ms "
                                "or more is continuous keying: a dah that starts the keying is released "
                                "as it ends, and the marks after it take a new hold. From %4 WPM up this "
                                "does not happen.")
                     .arg(o.wpm)
                     .arg(schedule_ms(s, 3))
                     .arg(LONG_MARK_MS)
                     .arg(slowest_wpm_without_long_dah());
    } else if (o.key_script_set && marks.first() >= LONG_MARK_MS) {
        bool short_after = false;
        for (int i = 1; i < marks.size(); ++i)
            short_after = short_after || marks[i] < LONG_MARK_MS;
        if (short_after)
            lines << QStringLiteral("Slow keying: the script's first mark lasts %1 ms, and from idle a mark "
                                    "of %2 ms or more is continuous keying: it is released as it ends, and "
                                    "the short marks after it take a new hold.")
                         .arg(marks.first())
                         .arg(LONG_MARK_MS);
    }
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
