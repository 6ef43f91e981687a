#pragma once
// Start-up of a keyboard-less KEY source: the schedule from --key-text or
// --key-script, and the banner's words for it.

#include <QString>
#include <QStringList>

struct AgentOptions;
struct KeySchedule;

// Reads and checks the source the options name. On a fault returns false
// with the message for standard error.
bool load_key_schedule(const AgentOptions& options, KeySchedule* schedule, QString* error);

// The banner's mode text for a keyboard-less source.
QString key_source_mode_text(const AgentOptions& options);

// The banner's lines (without indent or line feed) on what a keyboard-less
// source will key, in place of the keyboard's instructions; with a note when
// its first mark from idle is long enough to be continuous keying.
QStringList keyed_source_lines(const AgentOptions& options, const KeySchedule& schedule);

// The slowest --wpm whose dah is shorter than a continuous mark (8).
int slowest_wpm_without_long_dah();

// A start-up warning ("keyline-bench: --key-script FILE:LINE: ...") when a
// repeated script ends with the KEY down and begins with it down: the last
// mark of each round then runs into the first of the next. Empty otherwise.
QString repeated_script_warning(const AgentOptions& options, const KeySchedule& schedule);
