#pragma once
// Start-up of a keyboard-less KEY source: the schedule from --key-text or
// --key-script, and the banner's words for it.

#include <QString>

struct AgentOptions;
struct KeySchedule;

// Reads and checks the source the options name. On a fault returns false
// with the message for standard error.
bool load_key_schedule(const AgentOptions& options, KeySchedule* schedule, QString* error);

// The banner's mode text for a keyboard-less source.
QString key_source_mode_text(const AgentOptions& options);
