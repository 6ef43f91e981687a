#pragma once
// The start-up banner.

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

#include "common/bench_event.h"

struct AgentOptions;
struct FaultConfig;
struct SendDestination;

QString mode_text(bool global_keys);
// The banner's KEY line for whichever source the options name.
QString agent_mode_text(const AgentOptions& options);
// All 14 lines, each ended by a line feed (the last one empty). A keyboard-
// less source has its `keyed_lines` in place of the keyboard's instructions.
// A ttl shorter than the keepalive period adds a warning.
QString banner_text(const AgentOptions& options, const QStringList& keyed_lines = QStringList());

// "hold_timeout_ms=150 is shorter than the 200 ms keepalive period: ..."
QString ttl_warning_text(qint32 ttl_ms);

// The banner's settings as the "start" JSON line's own fields (after event,
// time and t_ms; no braces): the keyless source's banner lines as "keyed",
// the ttl warning, and the seed only when seed_shown (a draw depends on it).
QString start_json_fields(const AgentOptions& options, const QStringList& keyed_lines,
                          bool seed_shown = false, quint64 seed = 0);

// The run's start event: the banner with the faults, the --also
// destinations and the seed where it matters, and the same as JSON fields.
BenchEvent start_event(const AgentOptions& options, const QStringList& keyed_lines, const FaultConfig& faults,
                       const std::vector<SendDestination>& also, quint64 seed, qint64 now_ns);
