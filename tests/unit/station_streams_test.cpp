// The per-stream model on a fake clock: holds, keepalives, releases, lapses
// judged to the millisecond, resumes, every sequence case and eviction.

#include <gtest/gtest.h>

#include <QHostAddress>

#include <vector>

#include "station/stream_table.h"

namespace {

const SenderId A = sender_id(QHostAddress(QStringLiteral("127.0.0.1")), 40000);
const SenderId B = sender_id(QHostAddress(QStringLiteral("::1")), 40001);
constexpr qint64 T0 = 1700000000000LL;

InhibitFields fields(qint64 seq, qint32 ttl_ms)
{
    InhibitFields f;
    f.seq = seq;
    f.ttl_ms = ttl_ms;
    f.station.begin = "TEST-KEY";
    f.station.size = 8;
    f.band.begin = "144";
    f.band.size = 3;
    return f;
}

struct Model {
    StreamTable table;
    StationEvents events;

    // Feeds one datagram; returns the kinds of the events it caused.
    std::vector<EventKind> feed(const SenderId& sender, qint64 at, qint64 seq, qint32 ttl_ms)
    {
        events.clear();
        track_datagram(table, sender, at, fields(seq, ttl_ms), events);
        return kinds();
    }
    std::vector<EventKind> expire(qint64 now)
    {
        events.clear();
        expire_holds(table, now, events);
        return kinds();
    }
    std::vector<EventKind> kinds() const
    {
        std::vector<EventKind> k;
        for (const StationEvent& e : events)
            k.push_back(e.kind);
        return k;
    }
    const Stream& stream(const SenderId& s) { return table.streams.at(s); }
};

using K = EventKind;
using Kinds = std::vector<EventKind>;

TEST(StreamTable, HoldKeepalivesRelease)
{
    Model m;
    EXPECT_EQ(m.feed(A, T0, 1, 600), Kinds{K::Hold});
    EXPECT_EQ(m.events[0].from, QStringLiteral("127.0.0.1:40000"));
    EXPECT_EQ(m.events[0].station, QStringLiteral("TEST-KEY"));
    EXPECT_EQ(m.events[0].ttl_ms, 600);
    EXPECT_EQ(next_expiry_ms(m.table), T0 + 600);

    EXPECT_EQ(m.feed(A, T0 + 200, 2, 600), Kinds{K::Keepalive});
    EXPECT_EQ(m.events[0].interval_ms, 200);
    EXPECT_EQ(m.feed(A, T0 + 450, 3, 600), Kinds{K::Keepalive});
    EXPECT_EQ(m.events[0].interval_ms, 250);
    EXPECT_EQ(next_expiry_ms(m.table), T0 + 1050);

    EXPECT_EQ(m.feed(A, T0 + 500, 4, 0), Kinds{K::Release});
    const StationEvent& r = m.events[0];
    EXPECT_EQ(r.hold_ms, 500);
    EXPECT_EQ(r.keepalives, 2);
    EXPECT_EQ(r.max_silence_ms, 250);
    EXPECT_EQ(r.margin_ms, 350);
    EXPECT_EQ(next_expiry_ms(m.table), -1);
    EXPECT_EQ(m.expire(T0 + 100000), Kinds{});
    EXPECT_EQ(m.table.holds, 1);
    EXPECT_EQ(m.table.holds_ended, 1);
    EXPECT_EQ(table_problems(m.table), 0);
}

TEST(StreamTable, LapseExactlyAtTheTtl)
{
    Model m;
    m.feed(A, T0, 1, 600);
    EXPECT_EQ(m.expire(T0 + 599), Kinds{});
    EXPECT_EQ(m.expire(T0 + 600), Kinds{K::Lapse});
    EXPECT_EQ(m.events[0].silence_ms, 600);
    EXPECT_EQ(m.events[0].ttl_ms, 600);
    EXPECT_EQ(m.expire(T0 + 5000), Kinds{});  // reported once
    EXPECT_FALSE(m.stream(A).holding);
    EXPECT_EQ(m.table.lapses, 1);
    EXPECT_EQ(m.table.holds_ended, 1);
    EXPECT_EQ(table_problems(m.table), 1);
}

TEST(StreamTable, ADatagramJudgedByItsArrival)
{
    // Checked late, a datagram that arrived 1 ms before the expiry is in
    // time; one that arrived at the expiry finds the hold lapsed.
    Model m;
    m.feed(A, T0, 1, 600);
    EXPECT_EQ(m.feed(A, T0 + 599, 2, 600), Kinds{K::Keepalive});
    EXPECT_EQ(m.feed(A, T0 + 599 + 600, 3, 600), (Kinds{K::Lapse, K::Resume}));
    EXPECT_EQ(m.events[0].silence_ms, 600);
    EXPECT_EQ(m.stream(A).holds, 2);
    EXPECT_EQ(m.stream(A).lapses, 1);
}

TEST(StreamTable, ResumeAfterALapseAndReleaseAfterALapse)
{
    Model m;
    m.feed(A, T0, 1, 300);
    m.expire(T0 + 300);
    EXPECT_EQ(m.feed(A, T0 + 400, 2, 300), Kinds{K::Resume});
    EXPECT_TRUE(m.stream(A).holding);
    EXPECT_EQ(m.feed(A, T0 + 500, 3, 0), Kinds{K::Release});
    EXPECT_EQ(m.events[0].hold_ms, 100);
    EXPECT_EQ(m.table.holds, 2);
    EXPECT_EQ(m.table.holds_ended, 2);

    m.feed(A, T0 + 1000, 4, 300);
    m.expire(T0 + 1300);
    EXPECT_EQ(m.feed(A, T0 + 1400, 5, 0), Kinds{K::Note});
    EXPECT_EQ(m.events[0].text, QStringLiteral("RELEASE after a lapse"));
    EXPECT_EQ(m.table.holds_ended, 3);
    EXPECT_EQ(m.feed(A, T0 + 1500, 6, 0), Kinds{K::Note});
    EXPECT_EQ(m.events[0].text, QStringLiteral("RELEASE with no hold"));
    EXPECT_EQ(m.table.lapses, 2);
}

TEST(StreamTable, SequenceCases)
{
    struct Row {
        const char* name;
        std::vector<qint64> seqs;    // all HOLD/KEEPALIVE datagrams, 100 ms apart
        Kinds last;                  // the events of the last datagram
        qint64 problems;
        qint64 highest_after;
    };
    const Row table[] = {
        {"in order", {1, 2, 3}, {K::Keepalive}, 0, 3},
        {"duplicate", {1, 2, 2}, {K::SeqDuplicate}, 1, 2},
        {"backwards", {1, 5, 3}, {K::SeqBackwards}, 2, 5},  // the jump to 5 is a gap too
        {"gap", {1, 2, 6}, {K::SeqGap, K::Keepalive}, 1, 6},
        {"joined mid-run", {17}, {K::Note, K::Hold}, 0, 17},
    };
    for (const Row& row : table) {
        Model m;
        qint64 at = T0;
        for (qint64 seq : row.seqs) {
            m.feed(A, at, seq, 600);
            at += 100;
        }
        EXPECT_EQ(m.kinds(), row.last) << row.name;
        EXPECT_EQ(m.table.seq_problems, row.problems) << row.name;
        EXPECT_EQ(m.stream(A).highest_seq, row.highest_after) << row.name;
    }

    Model gap;
    gap.feed(A, T0, 1, 600);
    gap.feed(A, T0 + 100, 6, 600);
    EXPECT_EQ(gap.events[0].missing, 4);

    Model joined;
    joined.feed(A, T0, 17, 600);
    EXPECT_EQ(joined.events[0].text, QStringLiteral("joined mid-run at seq 17"));
}

TEST(StreamTable, AStaleReleaseEndsNothing)
{
    Model m;
    m.feed(A, T0, 1, 600);
    m.feed(A, T0 + 200, 3, 600);
    EXPECT_EQ(m.feed(A, T0 + 250, 2, 0), Kinds{K::SeqBackwards});
    EXPECT_TRUE(m.stream(A).holding);
    EXPECT_EQ(m.feed(A, T0 + 260, 3, 0), Kinds{K::SeqDuplicate});
    EXPECT_TRUE(m.stream(A).holding);
    EXPECT_EQ(m.expire(T0 + 799), Kinds{});  // the ignored datagrams extended nothing either
    EXPECT_EQ(m.expire(T0 + 800), Kinds{K::Lapse});
}

TEST(StreamTable, StreamsAreApart)
{
    Model m;
    m.feed(A, T0, 1, 600);
    EXPECT_EQ(m.feed(B, T0 + 10, 1, 300), Kinds{K::Hold});
    EXPECT_EQ(m.events[0].from, QStringLiteral("[::1]:40001"));
    EXPECT_EQ(next_expiry_ms(m.table), T0 + 310);
    EXPECT_EQ(m.expire(T0 + 310), Kinds{K::Lapse});
    EXPECT_EQ(m.events[0].from, QStringLiteral("[::1]:40001"));
    EXPECT_TRUE(m.stream(A).holding);
}

TEST(StreamTable, EvictsTheLeastRecentlyHeardIdleStream)
{
    Model m;
    // Stream 0 holds and is heard first; streams 1..255 are released.
    auto sender = [](int i) {
        return sender_id(QHostAddress(QStringLiteral("127.0.0.1")), static_cast<quint16>(50000 + i));
    };
    m.feed(sender(0), T0, 1, 30000);
    for (int i = 1; i < MAX_STREAMS; ++i) {
        m.feed(sender(i), T0 + i, 1, 600);
        m.feed(sender(i), T0 + i, 2, 0);
    }
    m.feed(sender(7), T0 + 1000, 3, 0);  // heard again: no longer the oldest idle one
    ASSERT_EQ(m.table.streams.size(), static_cast<size_t>(MAX_STREAMS));

    EXPECT_EQ(m.feed(sender(MAX_STREAMS), T0 + 2000, 1, 600), (Kinds{K::Evicted, K::Hold}));
    EXPECT_EQ(m.events[0].from, QStringLiteral("127.0.0.1:50001"));
    EXPECT_EQ(m.table.streams.size(), static_cast<size_t>(MAX_STREAMS));
    EXPECT_EQ(m.table.streams.count(sender(0)), 1u);  // the hold in progress stays
    EXPECT_EQ(m.table.evicted, 1);
    EXPECT_EQ(m.table.holds, MAX_STREAMS + 1);  // evicted streams' holds still count
    EXPECT_EQ(table_problems(m.table), 0);      // an eviction is not a problem
}

TEST(StreamTable, AStreamThatHoldsIsNeverEvictedANewSenderIsUntrackedInstead)
{
    Model m;
    auto sender = [](int i) {
        return sender_id(QHostAddress(QStringLiteral("127.0.0.1")), static_cast<quint16>(50000 + i));
    };
    m.feed(sender(0), T0, 1, 600);  // the hold whose lapse must be seen
    for (int i = 1; i < MAX_STREAMS; ++i)
        m.feed(sender(i), T0 + 10, 1, 2147483647);

    // A crowd of strangers while every stream holds: none gets in, each is counted.
    EXPECT_EQ(m.feed(sender(MAX_STREAMS), T0 + 20, 1, 2147483647), Kinds{K::Untracked});
    EXPECT_EQ(m.events[0].count, 1);
    EXPECT_EQ(m.feed(sender(MAX_STREAMS + 1), T0 + 30, 1, 600), Kinds{});  // said once a second
    EXPECT_EQ(m.table.untracked, 2);
    EXPECT_EQ(m.table.evicted, 0);
    EXPECT_EQ(table_problems(m.table), 2);
    EXPECT_EQ(m.feed(sender(MAX_STREAMS + 2), T0 + 20 + UNTRACKED_REPORT_MS, 1, 600),
              (Kinds{K::Lapse, K::Evicted, K::Hold}));  // the due lapse is judged, then its stream goes
    EXPECT_EQ(m.events[0].from, QStringLiteral("127.0.0.1:50000"));
    EXPECT_EQ(m.table.lapses, 1);
    EXPECT_EQ(m.table.untracked, 2);
}

}  // namespace
