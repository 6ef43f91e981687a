#pragma once
// keyline-station's command line. Usage errors are status 2, so the parser is
// driven with parse() and --help / --version are answered here.

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

#include "common/output_path.h"
#include "watch/watch_options.h"

constexpr int EXIT_CLEAN = 0;
constexpr int EXIT_PROBLEMS = 1;
constexpr int EXIT_USAGE = 2;

struct StationOptions {
    QHostAddress bind_address;
    QString bind_text = QStringLiteral("127.0.0.1");
    quint16 port = 22372;
    qint64 duration_ms = -1;  // -1: until stopped
    qint64 holds = -1;        // -1: no limit
    qint64 expect_holds = -1; // fewer holds ended than this fails the run; -1: none expected
    QString port_file;        // empty: none
    bool json = false;
    bool verbose = false;

    // The tap: every datagram also goes on to a real station (--forward).
    bool forward = false;
    QHostAddress forward_address;
    quint16 forward_port = 0;
    QString forward_text;
    QString vcd_file;         // empty: no waveform file
    QString timeline_file;  // --timeline: an SVG picture of the run, written at its end
    QString junit_file;     // --junit: a JUnit XML report, written at its end
    // Watching the station under test: its rig's PTT, its log, or both.
    WatchOptions watch;
    bool expect_watch = false;
    bool list_rigs = false;
};

enum class OptionsOutcome { Run, Help, Version, Error, ListRigs };

struct OptionsResult {
    OptionsOutcome outcome = OptionsOutcome::Run;
    StationOptions options;
    QString text;  // the help or version text, or the error message
};

// arguments includes the program name first.
OptionsResult read_station_options(const QStringList& arguments);

// The files the options name, for checking them all before any is created.
std::vector<OutputPath> station_outputs(const StationOptions& options);
