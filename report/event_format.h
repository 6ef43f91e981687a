#pragma once
// Events as output lines, without the time stamp or the line feed: the
// text form ("  HOLD  127.0.0.1:40000  ...") and the JSON form, one object
// per line, "event" first. Texts from datagrams are already escaped, so
// neither form ever holds a raw control character.

#include <QString>

#include "station/station_event.h"

struct StreamTable;
struct WatchTotals;

QString event_text(const StationEvent& event);
QString event_json(const StationEvent& event, const QString& stamp);

// The line that says how many output lines were lost, as a JSON note event
// (with its line feed), so that a --json reader never meets plain text.
QByteArray dropped_lines_json(qint64 count);

// The summary: per stream, then the totals.
// With a watch of the station under test, its counts join the totals.
QStringList summary_text(const StreamTable& table, const WatchTotals* watch = nullptr);
QString summary_json(const StreamTable& table, const QString& stamp, const WatchTotals* watch = nullptr);
