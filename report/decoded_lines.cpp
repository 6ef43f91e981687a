#include "report/decoded_lines.h"

void decoded_lines_take(void* self, const BenchEvent& e)
{
    DecodedLines& d = *static_cast<DecodedLines*>(self);
    if (e.kind == BenchEventKind::KeyEdge) {
        decoder_edge(d.decoder, e.level, e.t_ns / 1000000);
    } else if (e.kind == BenchEventKind::ReleaseSent && decoder_has_text(d.decoder)) {
        BenchEvent decoded = bench_event_at_ns(BenchEventKind::Decoded, e.t_ns);
        decoded.text = take_decoded_line(d.decoder);
        emit_bench_event(d.events, decoded);
    }
}

BenchSink decoded_lines_sink(DecodedLines& lines)
{
    return BenchSink{&lines, decoded_lines_take};
}
