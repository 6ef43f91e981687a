#pragma once
// The start-up banner.

#include <QString>
#include <QStringList>
#include <QtGlobal>

struct AgentOptions;

QString mode_text(bool global_keys);
// The banner's KEY line for whichever source the options name.
QString agent_mode_text(const AgentOptions& options);
// All 14 lines, each ended by a line feed (the last one empty). A keyboard-
// less source has its `keyed_lines` in place of the keyboard's instructions.
// A ttl shorter than the keepalive period adds a warning.
QString banner_text(const AgentOptions& options, const QStringList& keyed_lines = QStringList());

struct BenchLog;
// "hold_timeout_ms=150 is shorter than the 200 ms keepalive period: ..."
QString ttl_warning_text(qint32 ttl_ms);

// The banner's settings as the "start" JSON line, written to the log: the
// keyless source's banner lines as "keyed", the ttl warning, and the seed
// only when seed_shown (a draw depends on it).
void write_start_event(const BenchLog& log, const AgentOptions& options, const QStringList& keyed_lines,
                       bool seed_shown = false, quint64 seed = 0);
