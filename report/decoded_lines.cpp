#include "report/decoded_lines.h"

#include <cstring>

namespace {

void tell(DecodedLines& d, const QString& line, qint64 t_ns)
{
    if (line.isEmpty())
        return;
    BenchEvent decoded = bench_event_at_ns(BenchEventKind::Decoded, t_ns);
    decoded.text = line;
    emit_bench_event(d.events, decoded);
}

}  // namespace

void decoded_lines_take(void* self, const BenchEvent& e)
{
    DecodedLines& d = *static_cast<DecodedLines*>(self);
    if (e.kind == BenchEventKind::KeyEdge) {
        decoder_edge(d.decoder, e.level, e.t_ns / 1000000);
    } else if (e.kind == BenchEventKind::DatagramTold && e.datagram == InhibitKind::Release) {
        // The decoder reads across holds: a RELEASE says what is complete,
        // the quit's RELEASE whatever is open; its line follows the
        // RELEASE's own lines and those of its faults.
        const bool quit = e.note && std::strcmp(e.note, "quit") == 0;
        tell(d, quit ? take_decoded_line(d.decoder) : decoder_release_line(d.decoder, e.t_ns / 1000000), e.t_ns);
    }
}

void decoded_lines_quit_take(void* self, const BenchEvent& e)
{
    DecodedLines& d = *static_cast<DecodedLines*>(self);
    if (e.kind == BenchEventKind::Quit)
        tell(d, take_decoded_line(d.decoder), e.t_ns);
}

BenchSink decoded_lines_sink(DecodedLines& lines)
{
    return BenchSink{&lines, decoded_lines_take};
}

BenchSink decoded_lines_quit_sink(DecodedLines& lines)
{
    return BenchSink{&lines, decoded_lines_quit_take};
}
