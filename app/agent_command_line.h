#pragma once
// keyline-bench's command line: every option declared on the parser, and
// their values read into AgentOptions. The checks of the values are in
// agent_options.h and the start checks.

#include "app/agent_options.h"

class QCommandLineParser;

// Description, help and version options, then the options in order.
void add_agent_options(QCommandLineParser& parser);
// Reads the values of a processed parser (--ttl-ms 0 when it does not parse;
// --port and --fixed-hang-ms say whether they did).
AgentOptions read_agent_options(const QCommandLineParser& parser);
