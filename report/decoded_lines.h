#pragma once
// --decode as a reporter: the KEY's edges fed to the Morse decoder, and what
// was keyed read back as a decoded event, told to the same stream: after
// each RELEASE what is complete, at quit whatever is open. Two sinks: the
// line after a RELEASE follows every line the RELEASE brought (its own, its
// faults', a failed send), the line at quit comes before "quit".
//
// The decoder runs on a thread of its own, so it never holds up the tick:
// the tick only puts each edge and RELEASE into a fixed ring (no lock, no
// wait, no allocation) and pokes the thread. The thread's lines come back
// through the event loop, stamped with the RELEASE they close. At quit the
// thread reads what is left and ends before "quit" is said.

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <QString>

#include "common/bench_event.h"
#include "morse/morse_decoder.h"

class QSocketNotifier;

struct DecoderInput {
    qint64 t_ns = 0;
    quint8 kind = 0;  // an edge, a RELEASE, the quit's RELEASE, the end
    bool down = false;
};

// About 400 characters of keying the thread may fall behind by.
constexpr quint32 DECODER_RING = 4096;

struct DecodedLine {
    QString text;
    qint64 t_ns = 0;
};

struct DecodedLines {
    BenchEvents* events = nullptr;  // where the decoded lines go
    MorseDecoder decoder;           // the thread's alone
    DecoderInput ring[DECODER_RING];
    std::atomic<quint32> head{0};     // the next input the tick writes
    std::atomic<quint32> tail{0};     // the next the thread reads
    std::atomic<qint64> lost{0};      // inputs the full ring could not take
    int wake_fd = -1;                 // the tick pokes the thread
    int ready_fd = -1;                // the thread says lines are ready
    std::mutex ready_mutex;
    std::vector<DecodedLine> ready;   // lines waiting for the event loop
    std::thread thread;
    QSocketNotifier* notifier = nullptr;
    bool ended = false;

    ~DecodedLines();
};

// The thread, and the event loop's ear for its lines; false with the reason.
bool start_decoded_lines(DecodedLines& lines, QString* error);
// The thread reads what is left and ends; its lines are told, in order.
void finish_decoded_lines(DecodedLines& lines);

void decoded_lines_take(void* self, const BenchEvent& event);
BenchSink decoded_lines_sink(DecodedLines& lines);       // after the log's reporter
BenchSink decoded_lines_quit_sink(DecodedLines& lines);  // before it
