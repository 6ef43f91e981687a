#pragma once
// The CW options: --decode for any KEY source, and how --key-text is keyed
// (--farnsworth, --fist, --weight).

#include <QByteArray>
#include <QString>

class QCommandLineParser;
struct AgentOptions;
struct MorseStyle;

void add_cw_options(QCommandLineParser& parser);
void read_cw_options(const QCommandLineParser& parser, AgentOptions* options);

// "keyline-bench: ..." when a CW option is out of range or without
// --key-text; an empty text when all is well.
QString cw_option_error(const AgentOptions& options);

// The fist draws at random: the run's seed matters.
bool fist_used(const AgentOptions& options);

MorseStyle morse_style(const AgentOptions& options, quint64 seed);

// ", Farnsworth 10 WPM, fist 15 %, weight 60 %" for the options given, or an
// empty text: appended to the speed in the banner's KEY line.
QString morse_style_text(const AgentOptions& options);

// "# keying: Morse text at 20 WPM, Farnsworth 10 WPM, fist 15 % (seed 7)\n"
// for a recording of --key-text keyed with any of them; empty otherwise.
QByteArray morse_style_header(const AgentOptions& options, quint64 seed);
