#pragma once
// keyline-conform's command line. Usage errors are status 2, so the parser is
// driven with parse() and --help / --version are answered here.

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include "watch/watch_options.h"

constexpr int CONFORM_EXIT_PASSED = 0;
constexpr int CONFORM_EXIT_FAILED = 1;   // a scenario failed or was not judged
constexpr int CONFORM_EXIT_CANNOT = 2;   // a bad option, the watch cannot start
constexpr qint64 CONFORM_DEFAULT_REACT_MS = 50;

struct ConformOptions {
    QHostAddress station_address;
    quint16 station_port = 0;
    QString station_text;      // as typed

    WatchOptions watch;        // one of its rig and its log; react_ms 50, as CONFORM_DEFAULT_REACT_MS

    QStringList only;          // empty: every scenario
    bool list = false;
    bool json = false;
    QString junit_file;
    QString timeline_file;
    QString vcd_file;
};

enum class ConformOutcome { Run, Help, Version, Error };

struct ConformOptionsResult {
    ConformOutcome outcome = ConformOutcome::Run;
    ConformOptions options;
    QString text;  // the help or version text, or the error message
};

// arguments includes the program name first.
ConformOptionsResult read_conform_options(const QStringList& arguments);
