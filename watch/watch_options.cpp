#include "watch/watch_options.h"

#include <QRegularExpression>

#include "common/whole_number.h"

bool read_watch_poll_ms(const QString& text, int* poll_ms, QString* error)
{
    const int value = whole_number_in(text, 1, 1000);
    if (value < 0) {
        *error = QStringLiteral("--watch-poll-ms must be a whole number 1..1000: %1").arg(text);
        return false;
    }
    *poll_ms = value;
    return true;
}

QString watch_expression_problem(const QString& expression)
{
    if (expression.isEmpty())
        return QStringLiteral("empty");
    const QRegularExpression re(expression);
    return re.isValid() ? QString() : re.errorString();
}
