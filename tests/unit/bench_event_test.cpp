// The event stream: every sink hears every event in the order the sinks
// were added, a full list refuses one more, and the reporters say the new
// KEY sources' comings and goings, and nothing of what is not theirs.

#include <gtest/gtest.h>

#include <QString>
#include <QTextStream>

#include <string>
#include <vector>

#include "common/bench_event.h"
#include "report/bench_json.h"
#include "report/bench_text.h"

namespace {

struct Heard {
    std::vector<std::string>* log;
    const char* name;
};

void hear(void* self, const BenchEvent& e)
{
    Heard& h = *static_cast<Heard*>(self);
    h.log->push_back(std::string(h.name) + std::to_string(static_cast<int>(e.kind)));
}

}  // namespace

TEST(BenchEvents, EverySinkHearsEachEventInTheOrderAdded)
{
    std::vector<std::string> log;
    Heard a{&log, "a"}, b{&log, "b"};
    BenchEvents events;
    ASSERT_TRUE(add_bench_sink(events, BenchSink{&a, hear}));
    ASSERT_TRUE(add_bench_sink(events, BenchSink{&b, hear}));
    emit_bench_event(&events, bench_event_at_ms(BenchEventKind::KeyEdge, 5));
    emit_bench_event(&events, bench_event_at_ms(BenchEventKind::Quit, 6));
    emit_bench_event(nullptr, bench_event_at_ms(BenchEventKind::Quit, 7));  // nobody listens
    const std::string edge = std::to_string(static_cast<int>(BenchEventKind::KeyEdge));
    const std::string quit = std::to_string(static_cast<int>(BenchEventKind::Quit));
    EXPECT_EQ(log, (std::vector<std::string>{"a" + edge, "b" + edge, "a" + quit, "b" + quit}));
    for (int i = events.count; i < MAX_BENCH_SINKS; ++i)
        EXPECT_TRUE(add_bench_sink(events, BenchSink{&a, hear}));
    EXPECT_FALSE(add_bench_sink(events, BenchSink{&a, hear}));
}

TEST(BenchReporters, SayAKeySourceLostAndFoundAndNothingOfTheWire)
{
    QString out_text, err_text, json_text;
    QTextStream out{&out_text}, err{&err_text}, json_out{&json_text};
    BenchText text;
    text.out = &out;
    text.err = &err;
    BenchLog json;
    json.out = &json_out;
    BenchEvents events;
    add_bench_sink(events, bench_text_sink(text));
    add_bench_sink(events, bench_json_sink(json));

    BenchEvent lost = bench_event_at_ms(BenchEventKind::KeySourceLost, 10);
    lost.path = QStringLiteral("127.0.0.1:4532");
    lost.text = QStringLiteral("connection refused");
    lost.note = "the rig answers";
    emit_bench_event(&events, lost);
    BenchEvent found = bench_event_at_ms(BenchEventKind::KeySourceFound, 20);
    found.path = lost.path;
    emit_bench_event(&events, found);
    for (BenchEventKind quiet : {BenchEventKind::KeyEdge, BenchEventKind::Latch, BenchEventKind::DatagramOut})
        emit_bench_event(&events, bench_event_at_ms(quiet, 30));

    EXPECT_TRUE(out_text.isEmpty());
    const QStringList lines = err_text.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0].mid(12), "  KEY source lost: 127.0.0.1:4532 (connection refused); "
                                "the KEY keeps its last level until the rig answers");
    EXPECT_EQ(lines[1].mid(12), "  KEY source found: 127.0.0.1:4532");
    const QStringList objects = json_text.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(objects.size(), 2);
    EXPECT_TRUE(objects[0].startsWith("{\"event\":\"key_source_lost\""));
    EXPECT_TRUE(objects[0].endsWith("\"source\":\"127.0.0.1:4532\",\"reason\":\"connection refused\"}"));
    EXPECT_TRUE(objects[1].startsWith("{\"event\":\"key_source_found\""));
}
