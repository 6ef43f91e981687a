#pragma once
// --fault and --also: their checks at start-up, and what they add to the
// banner.

#include <QString>

#include <vector>

#include "hold/fault_plan.h"
#include "hold/inhibit_sender.h"

struct AgentOptions;

constexpr int MAX_ALSO_DESTINATIONS = 8;

// Every --fault merged into config; the message for the first bad or
// contradictory one, or an empty text.
QString fault_option_error(const AgentOptions& options, FaultConfig* config);

// Every --also as a destination; the message for the first bad one (or one
// too many), or an empty text.
QString also_option_error(const AgentOptions& options, std::vector<SendDestination>* destinations);

// "host:port, also1, also2": the send log's destinations.
QString destinations_text(const AgentOptions& options, const std::vector<SendDestination>& also);

// The banner with the lines of these options put in before its closing blank
// line; the seed's line only when a fault draws at random. Unchanged when
// neither option is given.
QString banner_with_faults(const QString& banner, const FaultConfig& config,
                           const std::vector<SendDestination>& also, quint64 seed);
