#pragma once
// --decode as a reporter: the KEY's edges fed to the Morse decoder, and what
// was keyed read back as a decoded event, told to the same stream: after
// each RELEASE what is complete, at quit whatever is open. Two sinks: the
// line after a RELEASE follows every line the RELEASE brought (its own, its
// faults', a failed send), the line at quit comes before "quit".

#include "common/bench_event.h"
#include "morse/morse_decoder.h"

struct DecodedLines {
    MorseDecoder decoder;
    BenchEvents* events = nullptr;  // where the decoded lines go
};

void decoded_lines_take(void* self, const BenchEvent& event);
BenchSink decoded_lines_sink(DecodedLines& lines);       // after the log's reporter
BenchSink decoded_lines_quit_sink(DecodedLines& lines);  // before it
