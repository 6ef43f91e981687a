#include "app/key_source.h"

#include <QByteArray>

#include "app/agent_options.h"
#include "app/cw_options.h"
#include "input/key_schedule.h"
#include "input/key_script_file.h"

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
    return read_key_script(o.key_script, &content, error) &&
        parse_key_script(content, o.key_script, schedule, error);
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
