#pragma once
// What is said when a KEY line (a serial port, a rig) stops answering and
// when it answers again: key_source_lost and key_source_found on the run's
// event stream, once each way.

#include <QString>

struct BenchEvents;

struct KeyLineReport {
    QString source;               // as the user named it
    const char* until = nullptr;  // "the rig answers", "the port is back"
    BenchEvents* events = nullptr;
    bool said_lost = false;
};

// key_source_lost: "KEY source lost: SOURCE (REASON); the KEY keeps its last
// level until UNTIL".
void report_key_source_lost(KeyLineReport& report, const QString& reason);
// key_source_found: "KEY source found: SOURCE", once after a loss.
void report_key_source_found(KeyLineReport& report);
