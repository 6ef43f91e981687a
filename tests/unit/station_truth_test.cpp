// What keeps the station's verdicts true: arrivals carried onto the monotonic
// clock across wall-clock steps, a restart told from a stale seq 1, an
// excerpt marked cut only when it was, and a summary written whole behind a
// slow reader.

#include <gtest/gtest.h>

#include <QHostAddress>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/line_queue.h"
#include "station/arrival_clock.h"
#include "report/event_format.h"
#include "station/reception.h"

namespace {

constexpr qint64 WALL = 1700000000000LL;  // realtime ms
constexpr qint64 MONO = 5000000;          // monotonic ms

InhibitFields seq_fields(qint64 seq, qint32 ttl_ms, const char* station)
{
    InhibitFields f;
    f.seq = seq;
    f.ttl_ms = ttl_ms;
    f.station.begin = station;
    f.station.size = static_cast<int>(strlen(station));
    f.band.begin = "144";
    f.band.size = 3;
    return f;
}

TEST(ArrivalClock, AStampIsCarriedOverByItsAgeBoundedToTheTimeSinceTheQueueWasEmpty)
{
    struct Row {
        const char* what;
        qint64 stamp;        // kernel stamp, realtime
        qint64 step_ms;      // realtime step between the stamp and the read
        qint64 empty_ago;    // queue last seen empty this long before the read
        qint64 expect_ago;   // the arrival, this long before the read
    };
    const Row table[] = {
        {"no step", WALL - 30, 0, 200, 30},
        {"step forward between arrival and read", WALL - 30, 5000, 200, 200},
        {"step back between arrival and read", WALL - 30, -5000, 200, 0},
        {"queue empty just now", WALL - 30, 0, 10, 10},
        {"stamped after the read", WALL + 3, 0, 200, 0},
    };
    for (const Row& row : table) {
        ClockReading now;
        now.realtime_ms = WALL + row.step_ms;
        now.station_ms = MONO;
        EXPECT_EQ(arrival_on_station_clock(row.stamp, now, MONO - row.empty_ago),
                  MONO - row.expect_ago)
            << row.what;
    }
}

TEST(ArrivalClock, DatagramsTakenFromTheQueueNeverSeemToComeBeforeTheOneAheadOfThem)
{
    QueueReading queue;
    queue.empty_ms = queue.last_arrival_ms = MONO - 100;
    // Two datagrams stamped 1 ms apart, both read at once, the second with
    // whole-ms readings of the two clocks that put its age 2 ms further back.
    ClockReading first{WALL, MONO};
    ClockReading second{WALL + 2, MONO};
    EXPECT_EQ(take_arrival(queue, WALL - 10, first), MONO - 10);
    EXPECT_EQ(take_arrival(queue, WALL - 9, second), MONO - 10);
    // Without a kernel stamp, the read itself.
    EXPECT_EQ(take_arrival(queue, -1, ClockReading{WALL + 5, MONO + 5}), MONO + 5);
}

std::vector<EventKind> kinds_of(const StationEvents& events)
{
    std::vector<EventKind> k;
    for (const StationEvent& e : events)
        k.push_back(e.kind);
    return k;
}

using K = EventKind;

TEST(StreamTable, ASeq1IsARestartUnlessItComesWithinTheReorderWindow)
{
    struct Row {
        const char* what;
        qint64 seq1_after_ms;  // after the run's first datagram
        int old_ttl_ms;        // of the run before's last datagram
        std::vector<EventKind> kinds;
        qint64 restarts;
        qint64 holds_ended;  // in all, by then
    };
    const Row table[] = {
        {"reordered first HOLD", 90, 600, {K::SeqBackwards}, 0, 0},
        {"new run, old released", 2000, 0, {K::Restart, K::Hold}, 1, 1},
        {"new run while the old still holds", 300, 600, {K::Restart, K::Hold}, 1, 0},
        {"new run after the old lapsed", 2000, 600, {K::Lapse, K::Restart, K::Hold}, 1, 1},
    };
    const SenderId sender = sender_id(QHostAddress(QStringLiteral("127.0.0.1")), 40999);
    for (const Row& row : table) {
        StreamTable table;
        StationEvents events;
        // The run before: seq 1 at 0 ms, seq 2 at 20 ms.
        track_datagram(table, sender, 0, seq_fields(1, 600, "OLD"), events);
        track_datagram(table, sender, 20, seq_fields(2, row.old_ttl_ms, "OLD"), events);
        events.clear();
        track_datagram(table, sender, row.seq1_after_ms, seq_fields(1, 600, "NEW"), events);
        EXPECT_EQ(kinds_of(events), row.kinds) << row.what;
        EXPECT_EQ(table.restarts, row.restarts) << row.what;
        EXPECT_EQ(table.holds_ended, row.holds_ended) << row.what;
        const Stream& stream = table.streams.at(sender);
        EXPECT_EQ(stream.station, QLatin1String(row.restarts ? "NEW" : "OLD")) << row.what;
        if (row.restarts) {
            const StationEvent& restart = events[events.size() - 2];
            EXPECT_EQ(restart.highest_seq, 2) << row.what;
            EXPECT_EQ(restart.ended_hold, row.seq1_after_ms == 300) << row.what;
            // The new run counts afresh: seq 2 follows in order.
            events.clear();
            track_datagram(table, sender, row.seq1_after_ms + 200, seq_fields(2, 0, "NEW"), events);
            EXPECT_EQ(kinds_of(events), std::vector<EventKind>{K::Release}) << row.what;
            EXPECT_EQ(stream.holds, 2) << row.what;  // both runs' totals
        }
        EXPECT_EQ(table.lapses, row.kinds.front() == K::Lapse ? 1 : 0) << row.what;
    }
}

TEST(StreamTable, AResumeSaysHowLongTheSenderWasReallySilent)
{
    StreamTable table;
    StationEvents events;
    const SenderId sender = sender_id(QHostAddress(QStringLiteral("127.0.0.1")), 40000);
    track_datagram(table, sender, 0, seq_fields(1, 300, "S"), events);
    track_datagram(table, sender, 200, seq_fields(2, 300, "S"), events);
    expire_holds(table, 500, events);
    track_datagram(table, sender, 1380, seq_fields(3, 300, "S"), events);
    ASSERT_EQ(events.back().kind, K::Resume);
    EXPECT_EQ(events.back().outage_ms, 1180);
    EXPECT_TRUE(event_text(events.back()).contains(QStringLiteral("  outage_ms=1180  ")));
}

TEST(Texts, TheExcerptMarkerOnlyWhenCut)
{
    struct Row {
        std::string payload;
        bool cut;
    };
    const Row table[] = {
        {"\xc3\xa9\xc3\xa9\xc3\xa9", false},                   // fewer characters than bytes
        {std::string(MALFORMED_EXCERPT_BYTES, '\x01'), false},  // longer once escaped
        {std::string(MALFORMED_EXCERPT_BYTES + 1, '\x01'), true},
    };
    for (const Row& row : table) {
        Station station;
        StationEvents events;
        receive_payload(station, sender_id(QHostAddress(QStringLiteral("127.0.0.1")), 1), 0,
                        row.payload.data(), static_cast<int>(row.payload.size()), events);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(event_text(events[0]).contains(QStringLiteral("\"...)")), row.cut)
            << event_text(events[0]).toStdString();
    }
}

ssize_t plain_write(int fd, const char* data, size_t count)
{
    return ::write(fd, data, count);
}

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe()
    {
        EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        fcntl(fds[0], F_SETFL, 0);  // the reader blocks
    }
    ~Pipe()
    {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    LineQueue queue() const
    {
        LineQueue q;
        q.fd = fds[1];
        q.write_bytes = plain_write;
        return q;
    }
};

TEST(FinalWrite, ALongSummaryBehindASlowReaderArrivesWhole)
{
    Pipe p;
    LineQueue q = p.queue();
    queue_text(q, "queued line\n", 12);
    const QByteArray summary = QByteArray(300 * 1024, 'x') + '\n';  // far over the queue's bound
    std::string got;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n;
        usleep(100 * 1000);
        while ((n = read(p.fds[0], buffer, sizeof buffer)) > 0) {
            got.append(buffer, static_cast<size_t>(n));
            usleep(200);
        }
    });
    const FinalWrite result = write_final(q, summary, 10000);
    close(p.fds[1]);
    p.fds[1] = -1;
    reader.join();
    EXPECT_TRUE(result.whole);
    EXPECT_EQ(got, "queued line\n" + summary.toStdString());
}

TEST(FinalWrite, AStalledOrFailingOutputIsGivenUpWithItsReason)
{
    signal(SIGPIPE, SIG_IGN);
    for (const bool reader_gone : {false, true}) {
        Pipe p;
        LineQueue q = p.queue();
        if (reader_gone) {
            close(p.fds[0]);
            p.fds[0] = -1;
        } else {
            const std::string fill(1 << 20, 'f');
            while (write(p.fds[1], fill.data(), fill.size()) > 0) {
            }
        }
        const auto began = std::chrono::steady_clock::now();
        const FinalWrite result = write_final(q, QByteArray("summary\n"), 300);
        const auto took = std::chrono::steady_clock::now() - began;
        EXPECT_FALSE(result.whole);
        EXPECT_EQ(result.error, reader_gone ? EPIPE : EAGAIN);
        EXPECT_LT(took, std::chrono::seconds(3));
        EXPECT_EQ(q.dropped, 1);
    }
}

}  // namespace
