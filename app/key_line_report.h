#pragma once
// What is said when a KEY line (a serial port, a rig) stops answering and
// when it answers again: a line on standard error, or a JSON line in the
// log with --json.

#include <QString>

class QTextStream;
struct BenchLog;

struct KeyLineReport {
    QString source;      // as the user named it
    QString until;       // "the rig answers", "the port is back"
    QTextStream* err = nullptr;
    const BenchLog* json = nullptr;
    bool said_lost = false;
};

// "KEY source lost: SOURCE (REASON); the KEY keeps its last level until UNTIL"
void report_key_source_lost(KeyLineReport& report, const QString& reason);
// "KEY source found: SOURCE", once after a loss.
void report_key_source_found(KeyLineReport& report);
