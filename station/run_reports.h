#pragma once
// The files written when the run ends: --timeline (SVG) and --junit (XML).
// They are opened at the start, so that a path that cannot be written
// refuses the run at once instead of losing its report at the end; the
// events are collected only when one of them is asked for.

#include <QFile>
#include <QString>

#include <memory>

#include "station/run_record.h"

struct StationOptions;
struct StreamTable;

struct RunReports {
    RunRecord record;
    std::unique_ptr<QFile> timeline;
    std::unique_ptr<QFile> junit;
};

// Opens (truncating) the files the options name and starts the record at
// now_ms on the station's clock. False with error when a file cannot be opened.
bool open_run_reports(RunReports& reports, const StationOptions& options, qint64 now_ms, QString& error);

void collect_events(RunReports& reports, const StationEvents& events);

// Ends the record at end_ms and writes the files. False with error when a
// file could not be written whole.
bool write_run_reports(RunReports& reports, const StreamTable& table, qint64 end_ms, QString& error);
