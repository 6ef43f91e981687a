#pragma once
// Runs a command under /bin/sh -c (its own process group) and reads its
// standard output line by line on a thread of its own, so that a command
// that floods or stalls never delays its owner. Each line is stamped on
// arrival (monotonic clock, ms) and classified: a match of `inhibited` says
// the station is inhibited, else a match of `free` says it is free; other
// lines are only counted. Lines wait in a bounded queue; the owner watches
// queue.wake_fd (readable when something waits) and takes them. When the output
// ends, the command's exit status comes last.

#include <QRegularExpression>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "common/thread_handover.h"

struct LogLine {
    qint64 at_ms = 0;
    bool inhibited = false;
    QString text;          // the line, without its line feed
    bool ended = false;    // the output ended: no more lines
    int exit_status = -1;  // when ended: the exit code, or 128 + the signal
    QString lost;          // when set: lines were let go here; no more follow
};

constexpr int LOG_QUEUE_LIMIT = 10000;
// A longer line is cut here and the rest read as the next line.
constexpr int LOG_LINE_LIMIT = 64 * 1024;

struct LogCommand {
    QString command;
    QRegularExpression inhibited;
    QRegularExpression free;
    pid_t pid = -1;
    std::atomic<bool> reaped{false};  // the shell is gone: its group id may be reused
    int out_fd = -1;
    int stop_fd = -1;  // an eventfd: the reader stops reading when it is set
    ThreadHandover<LogLine> queue;  // the owner watches queue.wake_fd
    std::atomic<qint64> unmatched{0};
    std::thread thread;
};

// Starts the command. False with error when it cannot be started.
bool start_log_command(LogCommand& log, QString& error);
void take_log_lines(LogCommand& log, std::vector<LogLine>& out);
// Ends the command's process group and the reading thread.
void stop_log_command(LogCommand& log);
