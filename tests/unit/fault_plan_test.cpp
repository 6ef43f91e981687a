// The fault plan on a fake clock: which faults it takes and refuses, the drop
// schedule per hold, replayable draws, and the order of held-back and
// delayed datagrams.

#include <gtest/gtest.h>

#include <QStringList>

#include <vector>

#include "hold/fault_plan.h"
#include "report/bench_lines.h"

namespace {

FaultConfig config_of(const QStringList& faults)
{
    FaultConfig config;
    for (const QString& fault : faults) {
        QString error;
        EXPECT_TRUE(add_fault(config, fault, &error)) << error.toStdString();
    }
    return config;
}

constexpr qint64 NS = 1000000;  // the plan's clock is in ns; these runs count ms

// Feeds a hold of n keepalives (HOLD at t, one every 200 ms, RELEASE 200 ms
// after the last) and returns what went out, as "H1 K2 ..." in order.
struct PlanRun {
    FaultPlan plan;
    qint64 seq = 1;
    QStringList sent;
    QStringList faults;

    void collect(const std::vector<OutgoingDatagram>& out, const std::vector<FaultAction>& actions)
    {
        for (const OutgoingDatagram& d : out)
            sent << QString::fromLatin1(inhibit_label(d.kind)).left(1) + QString::number(d.seq);
        for (const FaultAction& a : actions)
            faults << fault_log_text(a).trimmed();
    }
    void send(InhibitKind kind, qint64 now)
    {
        std::vector<OutgoingDatagram> out;
        std::vector<FaultAction> actions;
        OutgoingDatagram d;
        d.bytes = QByteArray("{\"seq\":") + QByteArray::number(seq) + '}';
        d.kind = kind;
        d.seq = seq++;
        plan_datagram(plan, d, now * NS, out, actions);
        collect(out, actions);
    }
    void tick(qint64 now)
    {
        std::vector<OutgoingDatagram> out;
        std::vector<FaultAction> actions;
        take_due_datagrams(plan, now * NS, out, actions);
        collect(out, actions);
    }
    qint64 hold(qint64 t, int keepalives)
    {
        send(InhibitKind::Hold, t);
        for (int i = 1; i <= keepalives; ++i)
            send(InhibitKind::Keepalive, t + 200 * i);
        send(InhibitKind::Release, t + 200 * (keepalives + 1));
        return t + 200 * (keepalives + 1);
    }
};

PlanRun run_of(const QStringList& faults, quint64 seed = 1)
{
    PlanRun r;
    init_fault_plan(r.plan, config_of(faults), seed);
    return r;
}

}  // namespace

TEST(FaultText, RefusesBadAndContradictoryFaultsNamingThem)
{
    const struct {
        QStringList earlier;
        const char* fault;
        const char* says;
    } cases[] = {
        {{}, "loss", "expected NAME=VALUE"},
        {{}, "lose=5", "unknown fault \"lose\""},
        {{}, "loss=101", "0..100"},
        {{}, "loss=-1", "0..100"},
        {{}, "loss=5:ping", "the kind must be"},
        {{}, "loss=5:keepalive:2", "expected P[:KIND]"},
        {{}, "drop=keepalive:0", "counted from 1"},
        {{}, "drop=keepalive:3-2", "counted from 1"},
        {{}, "drop=5", "the kind must be"},
        {{}, "duplicate=10@x", "lateness must be whole ms"},
        {{}, "duplicate=10:hold@10001", "0..10000"},
        {{}, "delay=10001", "0..10000"},
        {{}, "delay=5~x", "0..10000"},
        {{}, "mute=0", "1..3600000"},
        {{"delay=5"}, "delay=6", "a second delay"},
        {{"mute=500"}, "mute=900", "a second mute"},
        {{"loss=5"}, "loss=1:keepalive", "contradicts an earlier one for KEEPALIVE"},
        {{"corrupt=5:hold"}, "corrupt=1:hold", "contradicts an earlier one for HOLD"},
    };
    for (const auto& c : cases) {
        FaultConfig config = config_of(c.earlier);
        QString error;
        EXPECT_FALSE(add_fault(config, QString::fromLatin1(c.fault), &error)) << c.fault;
        EXPECT_TRUE(error.startsWith(QStringLiteral("keyline-bench: --fault \"%1\": ").arg(QLatin1String(c.fault))))
            << error.toStdString();
        EXPECT_TRUE(error.contains(QLatin1String(c.says))) << error.toStdString();
    }
}

TEST(FaultText, TakesEveryFormAndKnowsWhichDraw)
{
    const struct {
        QStringList faults;
        bool random;
    } cases[] = {
        {{"drop=release", "drop=keepalive:2-3", "drop=hold:1", "mute=1500", "delay=40"}, false},
        {{"loss=0.5:keepalive", "loss=10:release"}, true},
        {{"duplicate=100"}, true},
        {{"reorder=12.25:hold"}, true},
        {{"corrupt=1"}, true},
        {{"delay=5~3"}, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fault_config_random(config_of(c.faults)), c.random) << c.faults.join(' ').toStdString();
}

TEST(FaultPlan, DropScheduleCountsWithinEachHold)
{
    PlanRun r = run_of({"drop=keepalive:2-3", "drop=release"});
    const qint64 t = r.hold(0, 4);
    r.hold(t + 1000, 2);
    EXPECT_EQ(r.sent.join(' '), "H1 K2 K5 H7 K8");
    EXPECT_EQ(r.faults, QStringList({"FAULT  dropped KEEPALIVE seq=3", "FAULT  dropped KEEPALIVE seq=4",
                                     "FAULT  dropped RELEASE seq=6", "FAULT  dropped KEEPALIVE seq=9",
                                     "FAULT  dropped RELEASE seq=10"}));
    EXPECT_EQ(r.plan.counts.dropped, 5);
}

TEST(FaultPlan, TheSameSeedRepeatsTheDrawsAndAnotherDoesNot)
{
    const QStringList faults{"loss=30", "duplicate=20", "corrupt=20", "reorder=20:keepalive", "delay=0~9"};
    auto faults_of = [&](quint64 seed) {
        PlanRun r = run_of(faults, seed);
        r.hold(0, 30);
        r.tick(100000);
        return r.faults;
    };
    EXPECT_EQ(faults_of(42), faults_of(42));
    EXPECT_NE(faults_of(42), faults_of(43));
}

TEST(FaultPlan, ReorderSendsTheHeldBackOneRightAfterTheNext)
{
    PlanRun r = run_of({"reorder=100:keepalive"});
    r.hold(0, 4);
    // Gap 1: K2 waits for K3, K4 for K5; the RELEASE is never held back.
    EXPECT_EQ(r.sent.join(' '), "H1 K3 K2 K5 K4 R6");
    EXPECT_EQ(r.plan.counts.reordered, 2);
    EXPECT_EQ(r.faults[1], "FAULT  sent KEEPALIVE seq=2 after seq=3 (reorder)");
}

TEST(FaultPlan, AHeldBackDatagramIsNeverLost)
{
    // Its hold ends with a dropped RELEASE: it goes out then.
    PlanRun r = run_of({"reorder=100:keepalive", "drop=release"});
    r.hold(0, 1);
    EXPECT_EQ(r.sent.join(' '), "H1 K2");
    EXPECT_TRUE(r.faults.contains("FAULT  sent KEEPALIVE seq=2 late, nothing followed it (reorder)"));

    // Still held back at quit.
    PlanRun q = run_of({"reorder=100:keepalive"});
    q.send(InhibitKind::Hold, 0);
    q.send(InhibitKind::Keepalive, 200);
    std::vector<OutgoingDatagram> out;
    std::vector<FaultAction> actions;
    release_held_back(q.plan, 250 * NS, out, actions);
    q.collect(out, actions);
    EXPECT_EQ(q.sent.join(' '), "H1 K2");
}

TEST(FaultPlan, DelayKeepsTheOrderAndSendsWhenDue)
{
    PlanRun r = run_of({"delay=50~400", "duplicate=100:hold"}, 7);
    r.hold(0, 3);
    EXPECT_TRUE(r.sent.isEmpty());
    qint64 last_due = -1;
    for (const FaultPlan::Pending& p : r.plan.delayed) {
        EXPECT_GE(p.due_ns / NS, last_due);  // never overtakes
        last_due = p.due_ns / NS;
    }
    const qint64 first_due = next_due_ns(r.plan) / NS;
    EXPECT_GE(first_due, 50);
    r.tick(first_due - 1);
    EXPECT_TRUE(r.sent.isEmpty());
    r.tick(first_due);
    EXPECT_EQ(r.sent.mid(0, 2), QStringList({"H1", "H1"}));
    r.tick(last_due);
    EXPECT_EQ(r.sent.join(' '), "H1 H1 K2 K3 K4 R5");
    EXPECT_EQ(next_due_ns(r.plan), -1);
    EXPECT_EQ(r.plan.counts.delayed, 6);
}

TEST(FaultPlan, MuteSilencesTheRestOfAHoldOnlyAndSaysSoOnce)
{
    PlanRun r = run_of({"mute=500"});
    const qint64 t = r.hold(0, 5);  // datagrams at 0..1200: 600 on are muted
    r.hold(t + 1000, 1);            // the next hold is short enough
    EXPECT_EQ(r.sent.join(' '), "H1 K2 K3 H8 K9 R10");
    EXPECT_EQ(r.faults, QStringList({"FAULT  muted after 500 ms"}));
    EXPECT_EQ(r.plan.counts.muted, 1);
}

TEST(FaultPlan, CorruptFlipsOneBitAndSaysWhich)
{
    PlanRun r = run_of({"corrupt=100:release"});
    std::vector<OutgoingDatagram> out;
    std::vector<FaultAction> actions;
    OutgoingDatagram d;
    d.bytes = QByteArray("{\"tx_inhibit\":1,\"ttl_ms\":0}");
    d.kind = InhibitKind::Release;
    d.seq = 12;
    plan_datagram(r.plan, d, 0, out, actions);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(actions.size(), 1u);
    int differing_bits = 0;
    for (int i = 0; i < d.bytes.size(); ++i)
        differing_bits += __builtin_popcount(static_cast<unsigned char>(d.bytes[i] ^ out[0].bytes[i]));
    EXPECT_EQ(differing_bits, 1);
    const qint64 bit = actions[0].value;
    EXPECT_NE(d.bytes[static_cast<int>(bit / 8)], out[0].bytes[static_cast<int>(bit / 8)]);
    EXPECT_EQ(fault_log_text(actions[0]), QStringLiteral("  FAULT  corrupted RELEASE seq=12 (bit %1)").arg(bit));
}

TEST(FaultPlan, TheCountLineSeesEveryFault)
{
    PlanRun r = run_of({"duplicate=100:hold", "drop=keepalive:1"});
    r.hold(0, 1);
    EXPECT_EQ(r.faults.size(), 2);
    EXPECT_EQ(fault_counts_text(r.plan.counts),
              "faults: dropped 1, duplicated 1, reordered 0, corrupted 0, delayed 0, muted 0");
}

TEST(FaultPlan, ADelayIsNeverShortOfItsMillisecondsFromTheBuild)
{
    PlanRun r = run_of({"delay=100"});
    std::vector<OutgoingDatagram> out;
    std::vector<FaultAction> actions;
    OutgoingDatagram d;
    d.kind = InhibitKind::Hold;
    d.seq = 1;
    const qint64 built = 5 * NS + 999999;  // late in its millisecond
    plan_datagram(r.plan, d, built, out, actions);
    EXPECT_EQ(next_due_ns(r.plan), built + 100 * NS);
    take_due_datagrams(r.plan, built + 100 * NS - 1, out, actions);
    EXPECT_TRUE(out.empty());
    take_due_datagrams(r.plan, built + 100 * NS, out, actions);
    EXPECT_EQ(out.size(), 1u);
}

TEST(FaultPlan, ALateCopyGoesOutItsTimeAfterTheOriginalBehindLaterDatagrams)
{
    PlanRun r = run_of({"duplicate=100:keepalive@300"});
    r.hold(0, 2);  // H1 0, K2 200, K3 400, R4 600
    EXPECT_EQ(r.sent.join(' '), "H1 K2 K3 R4");
    EXPECT_EQ(r.faults[0], "FAULT  duplicated KEEPALIVE seq=2 (the copy 300 ms later)");
    r.tick(499);
    EXPECT_EQ(r.sent.join(' '), "H1 K2 K3 R4");
    r.tick(700);
    EXPECT_EQ(r.sent.join(' '), "H1 K2 K3 R4 K2 K3");  // K3's copy after the RELEASE
    EXPECT_EQ(r.faults.last(), "FAULT  sent the copy of KEEPALIVE seq=3 (300 ms after it)");
    EXPECT_EQ(r.plan.counts.duplicated, 2);
    EXPECT_EQ(r.plan.counts.delayed, 0);
}

TEST(FaultPlan, AHeldBackReleaseFollowsTheNextHoldsHoldOrGoesOutAtQuit)
{
    PlanRun r = run_of({"reorder=100:release"});
    const qint64 t = r.hold(0, 1);
    EXPECT_EQ(r.sent.join(' '), "H1 K2");
    r.hold(t + 1000, 1);
    EXPECT_EQ(r.sent.join(' '), "H1 K2 H4 R3 K5");
    EXPECT_TRUE(r.faults.contains("FAULT  sent RELEASE seq=3 after seq=4 (reorder)"));
    std::vector<OutgoingDatagram> out;
    std::vector<FaultAction> actions;
    release_held_back(r.plan, (t + 5000) * NS, out, actions);
    r.collect(out, actions);
    EXPECT_EQ(r.sent.join(' '), "H1 K2 H4 R3 K5 R6");
    // Without its kind named, reorder leaves every RELEASE alone.
    PlanRun plain = run_of({"reorder=100"});
    plain.hold(0, 1);
    EXPECT_EQ(plain.sent.join(' '), "K2 H1 R3");
}
