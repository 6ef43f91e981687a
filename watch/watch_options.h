#pragma once
// How the station under test is watched, as keyline-station and
// keyline-conform take it from their command lines: its rig's PTT, its log,
// or (keyline-station) both. Each program keeps its own rules of which
// options go together; the values and their checks are the same.

#include <QString>
#include <QtGlobal>

struct WatchOptions {
    QString rig;            // --watch-rig: HOST:PORT or MODEL:DEVICE[,NAME=VALUE...]; empty: none
    int poll_ms = 10;       // --watch-poll-ms
    QString log;            // --watch-log: a command under /bin/sh -c; empty: none
    QString inhibited_re;   // --inhibited
    QString free_re;        // --free
    qint64 react_ms = 50;   // --react-ms
    bool expect_tx = false; // --expect-tx
};

// --watch-poll-ms: false with the refusal's words when text is not 1..1000.
bool read_watch_poll_ms(const QString& text, int* poll_ms, QString* error);

// Why a --inhibited or --free expression cannot be used ("empty", or the
// expression's own error), or an empty text when it can.
QString watch_expression_problem(const QString& expression);
