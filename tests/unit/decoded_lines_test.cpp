// --decode's reporter: the decoder on its own thread. Its lines come back
// through the event loop in order, stamped with their RELEASE; at quit the
// thread is drained before "quit"; keying lost to a full ring reads "*".

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QString>
#include <QTextStream>

#include "bench_test_events.h"
#include "qt_test_app.h"

#include "morse/key_schedule.h"
#include "report/decoded_lines.h"

namespace {

// The edges of a text at 25 WPM from start_ms, told as the tick tells them.
qint64 key_text(BenchEvents* events, const char* text, qint64 start_ms)
{
    KeySchedule s;
    QString reason;
    EXPECT_TRUE(morse_schedule(QString::fromLatin1(text), 25, &s, &reason));
    for (const KeyEdge& edge : s.edges) {
        BenchEvent e = bench_event_at_ms(BenchEventKind::KeyEdge, start_ms + schedule_ms(s, edge.at));
        e.level = edge.down;
        emit_bench_event(events, e);
    }
    return start_ms + schedule_ms(s, s.end_units);
}

void release_at(BenchEvents* events, qint64 t_ms, const char* note = "hang done / EOT")
{
    BenchEvent e = bench_event_at_ms(BenchEventKind::DatagramTold, t_ms);
    e.datagram = InhibitKind::Release;
    e.note = note;
    emit_bench_event(events, e);
}

struct DecodeRun {
    QString text;
    QTextStream out{&text};
    TestEvents log;
    std::unique_ptr<DecodedLines> decoded = std::make_unique<DecodedLines>();

    DecodeRun()
    {
        qt_test_app();
        // As in the program: the quit's sink before the log, the decoder last.
        BenchEvents& events = log.events;
        log.text.out = &out;
        add_bench_sink(events, decoded_lines_quit_sink(*decoded));
        add_bench_sink(events, bench_text_sink(log.text));
        add_bench_sink(events, BenchSink{&log, TestEvents::keep});
        add_bench_sink(events, decoded_lines_sink(*decoded));
        decoded->events = &events;
        QString error;
        EXPECT_TRUE(start_decoded_lines(*decoded, &error)) << error.toStdString();
    }
    std::vector<std::string> lines() const
    {
        std::vector<std::string> got;
        for (const BenchEvent& e : log.of(BenchEventKind::Decoded))
            got.push_back(e.text.toStdString() + " @" + std::to_string(e.t_ns / 1000000));
        return got;
    }
};

}  // namespace

TEST(DecodedLines, ComeBackThroughTheEventLoopInOrderAndBeforeQuit)
{
    DecodeRun run;
    BenchEvents* events = &run.log.events;
    release_at(events, key_text(events, "CQ CQ", 1000) + 600);
    release_at(events, key_text(events, "DE G4TST", 10000) + 600);
    QElapsedTimer waited;
    waited.start();
    while (run.lines().size() < 2 && waited.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_EQ(run.lines(), (std::vector<std::string>{"DECODED  CQ CQ  (25 WPM) @4528",
                                                     "DECODED  DE G4TST  (25 WPM) @13528"}));
    // A last word still open at quit comes before "quit".
    key_text(events, "TU", 20000);
    release_at(events, 21000, "quit");
    emit_bench_event(events, bench_event_at_ms(BenchEventKind::Quit, 21001));
    EXPECT_EQ(run.lines().back(), "DECODED  TU  (25 WPM) @21000");
    EXPECT_TRUE(run.text.endsWith("DECODED  TU  (25 WPM)\nquit\n")) << run.text.toStdString();
}

TEST(DecodedLines, KeyingLostToAFullRingReadsAsUnreadable)
{
    DecodeRun run;
    BenchEvents* events = &run.log.events;
    // The thread is kept from reading: the ring fills, and what does not
    // fit is lost.
    run.decoded->head.store(DECODER_RING);
    run.decoded->tail.store(0);
    for (quint32 i = 0; i < DECODER_RING; ++i)
        run.decoded->ring[i] = DecoderInput{0, 0, false};  // up, up, ...: nothing keyed
    key_text(events, "E", 1000);
    EXPECT_EQ(run.decoded->lost.load(), 2);
    run.decoded->tail.store(DECODER_RING);  // as if read
    key_text(events, "E", 2000);
    emit_bench_event(events, bench_event_at_ms(BenchEventKind::Quit, 3000));
    EXPECT_EQ(run.lines(), std::vector<std::string>{"DECODED  * E  (25 WPM) @3000"});
}
