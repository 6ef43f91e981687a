#pragma once
// Writes events and the summary as stamped text lines or JSON lines, each
// flushed at once so the lines follow the order of events.

#include <QTextStream>

#include "station/station_event.h"

struct StreamTable;
struct WatchTotals;

struct StationOutput {
    QTextStream* out = nullptr;
    bool json = false;
    bool verbose = false;  // keepalive events are written only when set
    const WatchTotals* watch = nullptr;  // the summary's watch figures, when watching
};

void write_events(const StationOutput& output, const StationEvents& events);
void write_summary(const StationOutput& output, const StreamTable& table);

// The summary as the bytes write_summary would write: stamped lines or a JSON line.
QByteArray summary_bytes(const StationOutput& output, const StreamTable& table);
