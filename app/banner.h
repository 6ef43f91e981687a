#pragma once
// The start-up banner.

#include <QString>
#include <QStringList>
#include <QtGlobal>

struct AgentOptions;

QString mode_text(bool global_keys);
// All 14 lines, each ended by a line feed (the last one empty). A keyboard-
// less source has its `keyed_lines` in place of the keyboard's instructions.
// A ttl shorter than the keepalive period adds a warning.
QString banner_text(const AgentOptions& options, const QStringList& keyed_lines = QStringList());

struct BenchLog;
// The banner's settings as the "start" JSON line, written to the log; the
// seed only when seed_shown (a draw depends on it).
void write_start_event(const BenchLog& log, const AgentOptions& options, bool seed_shown = false,
                       quint64 seed = 0);
