#include "common/repeated_option.h"

#include <QCommandLineParser>

QString repeated_option_error(const QCommandLineParser& parser, const QStringList& repeatable)
{
    for (const QString& name : parser.optionNames()) {
        if (repeatable.contains(name))
            continue;
        const QStringList values = parser.values(name);
        if (values.size() < 2)
            continue;
        const QString shown = (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        return QStringLiteral("%1 given %2 times (\"%3\"): give it once")
            .arg(shown)
            .arg(values.size())
            .arg(values.join(QStringLiteral("\", \"")));
    }
    return QString();
}
