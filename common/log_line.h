#pragma once
// Event lines on standard output: local time "hh:mm:ss.zzz", the text, a line
// feed, flushed at once so the lines follow the order of events.

#include <QString>
#include <QTextStream>

class QTime;

QString log_stamp(const QTime& local_time);
QString log_stamp_now();
void write_log_line(QTextStream& out, const QString& text);
