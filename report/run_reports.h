#pragma once
// The files written when the run ends: --timeline (SVG) and --junit (XML),
// opened at the start (report/report_file.h). The events are collected only
// when one of them is asked for.

#include <QString>

#include "report/report_file.h"
#include "report/run_record.h"

struct StreamTable;

struct RunReports {
    RunRecord record;
    ReportFile timeline;
    ReportFile junit;
};

// Opens the files named (an empty name: not asked for) and starts the record
// at now_ms on the station's clock. False with error when a file cannot be
// opened; then nothing stays created.
bool open_run_reports(RunReports& reports, const QString& timeline_file, const QString& junit_file, qint64 now_ms,
                      QString& error);

// A start refused after the files were opened: closes them and removes those
// this run created.
void discard_run_reports(RunReports& reports);

void collect_events(RunReports& reports, const StationEvents& events);

// Ends the record at end_ms and writes the files. False with error when a
// file could not be written whole; the JUnit report then says so too.
bool write_run_reports(RunReports& reports, const StreamTable& table, qint64 end_ms, QString& error);
