#include "common/log_line.h"

#include <QDateTime>
#include <QTime>

QString log_stamp(const QTime& local_time)
{
    // "hh" without an AM/PM marker is the 24-hour clock.
    return local_time.toString(QStringLiteral("hh:mm:ss.zzz"));
}

QString log_stamp_now()
{
    return log_stamp(QDateTime::currentDateTime().time());
}

void write_log_line(QTextStream& out, const QString& text)
{
    out << log_stamp_now() << text << '\n';
    out.flush();
}
