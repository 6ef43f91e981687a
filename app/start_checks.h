#pragma once
// keyline-bench's refusals before anything runs: every option checked, the
// faults and the --also destinations read. Each refusal is one line on
// standard error and exit status 2.

#include <QString>

#include <vector>

#include "hold/fault_plan.h"
#include "hold/inhibit_sender.h"

class QCommandLineParser;
class QTextStream;
struct AgentOptions;
struct KeySchedule;

// The first refusal's message, or an empty text when every option is good.
QString start_refusal(const QCommandLineParser& parser, const AgentOptions& options, FaultConfig* faults,
                      std::vector<SendDestination>* also);

// The Morse text or key script that stands in for the keyboard, styled as
// the options ask; a warning about it is said on err. False when it cannot
// be read (the message said on err: exit 2).
bool load_keyless_schedule(const AgentOptions& options, quint64 seed, KeySchedule* schedule, QTextStream& err);
