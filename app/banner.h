#pragma once
// The start-up banner.

#include <QString>

struct AgentOptions;

QString mode_text(bool global_keys);
// All 14 lines, each ended by a line feed (the last one empty).
QString banner_text(const AgentOptions& options);

struct BenchLog;
// The banner's settings as the "start" JSON line, written to the log.
void write_start_event(const BenchLog& log, const AgentOptions& options);
