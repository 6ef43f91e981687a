#pragma once
// --decode as a reporter: the KEY's edges fed to the Morse decoder, and what
// was keyed read back as a decoded event after each RELEASE (and so at
// quit), told to the same stream.

#include "common/bench_event.h"
#include "morse/morse_decoder.h"

struct DecodedLines {
    MorseDecoder decoder;
    BenchEvents* events = nullptr;  // where the decoded lines go
};

void decoded_lines_take(void* self, const BenchEvent& event);
BenchSink decoded_lines_sink(DecodedLines& lines);
