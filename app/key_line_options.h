#pragma once
// The KEY from real hardware: --key-serial DEVICE:LINE (a serial port's
// modem-status input) and --key-rig RIG with --rig-poll-ms (a transmitter's
// PTT read through hamlib). Neither opens a keyboard.

#include <QString>

class QCommandLineParser;
struct AgentOptions;

constexpr int DEFAULT_RIG_POLL_MS = 10;
constexpr int MIN_RIG_POLL_MS = 1;
constexpr int MAX_RIG_POLL_MS = 1000;

void add_key_line_options(QCommandLineParser& parser);
void read_key_line_options(const QCommandLineParser& parser, AgentOptions* options);

// The KEY comes from a serial line or a rig.
bool key_line_source(const AgentOptions& options);

// "keyline-bench: ..." when these options are malformed, out of range or
// combined with another KEY source; an empty text when all is well.
QString key_line_option_error(const AgentOptions& options);

// The banner's KEY line for these sources.
QString key_line_mode_text(const AgentOptions& options);
