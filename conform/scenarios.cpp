#include "conform/scenarios.h"

#include <algorithm>

#include "hold/inhibit_payload.h"

namespace {

constexpr int FLOOD_DATAGRAMS = 10000;
constexpr int FLOOD_BURST = 100;      // datagrams sent back to back
constexpr qint64 FLOOD_STEP_MS = 15;  // between bursts: the station's buffer drains

// Builds one scenario's schedule; seq numbers per source, as an agent keeps them.
struct Builder {
    Scenario scenario;
    qint64 next_seq[SOURCE_COUNT] = {1, 1, 1};

    // A valid datagram; `sent` false: its seq is used up and it is lost.
    void datagram(qint64 at_ms, Source source, int ttl_ms, const char* label, bool sent = true)
    {
        const qint64 seq = next_seq[static_cast<int>(source)]++;
        if (sent)
            add(at_ms, source, conform_payload(ttl_ms, seq), QString::fromLatin1(label), seq);
    }
    // HOLD at `from`, a KEEPALIVE every period until before `until`; the next seq after.
    void hold(qint64 from, qint64 until, Source source = Source::AgentA)
    {
        datagram(from, source, CONFORM_TTL_MS, "HOLD");
        for (qint64 t = from + CONFORM_KEEPALIVE_MS; t < until; t += CONFORM_KEEPALIVE_MS)
            datagram(t, source, CONFORM_TTL_MS, "KEEPALIVE");
    }
    void add(qint64 at_ms, Source source, const QByteArray& payload, const QString& label, qint64 seq = -1,
             int copies = 1)
    {
        ScheduledSend send;
        send.at_ms = at_ms;
        send.source = source;
        send.payload = payload;
        send.label = label;
        send.seq = seq;
        send.copies = copies;
        scenario.sends.push_back(send);
        scenario.last_send_ms = qMax(scenario.last_send_ms, at_ms);
    }
    Scenario done(const char* name, const char* pass, const char* rule, const char* must, bool checks_free)
    {
        scenario.name = QString::fromLatin1(name);
        scenario.pass = QString::fromLatin1(pass);
        scenario.rule = QString::fromLatin1(rule);
        scenario.must = QString::fromLatin1(must);
        scenario.checks_free = checks_free;
        std::stable_sort(scenario.sends.begin(), scenario.sends.end(),
                         [](const ScheduledSend& a, const ScheduledSend& b) { return a.at_ms < b.at_ms; });
        return scenario;
    }
};

QByteArray body(const char* text)
{
    return QByteArray(text);
}

std::vector<Scenario> build_scenarios()
{
    std::vector<Scenario> all;
    {
        Builder b;
        b.hold(0, 2000);
        b.datagram(2000, Source::AgentA, 0, "RELEASE");
        all.push_back(b.done("hold-release", "inhibited within react of the HOLD, free within react of the RELEASE", "4.2",
                             "inhibited within react of the HOLD, throughout, free within react of the RELEASE",
                             true));
    }
    {
        Builder b;
        b.datagram(0, Source::AgentA, CONFORM_TTL_MS, "HOLD");
        for (qint64 t = 200; t < 2000; t += CONFORM_KEEPALIVE_MS)
            b.datagram(t, Source::AgentA, CONFORM_TTL_MS, "KEEPALIVE", t != 800);
        b.datagram(2000, Source::AgentA, 0, "RELEASE");
        all.push_back(b.done("lost-keepalive", "inhibited throughout", "5.2", "one KEEPALIVE lost: inhibited throughout", false));
    }
    {
        Builder b;
        b.hold(0, 1200);
        all.push_back(b.done("agent-dies", "free at the last arrival + ttl, not before", "3.4",
                             "nothing after 1 s: free at the last arrival + ttl, not before", true));
    }
    {
        Builder b;
        b.hold(0, 2000);
        b.datagram(2000, Source::AgentA, 0, "RELEASE", false);
        all.push_back(b.done("lost-release", "free at the last KEEPALIVE + ttl", "5.5", "RELEASE lost: free at the last KEEPALIVE + ttl", true));
    }
    {
        Builder b;
        b.datagram(0, Source::AgentA, CONFORM_TTL_MS, "HOLD");
        b.datagram(200, Source::AgentA, CONFORM_TTL_MS, "KEEPALIVE");
        b.datagram(400, Source::AgentA, 100, "KEEPALIVE ttl 100");
        all.push_back(b.done("short-ttl", "free 100 ms after the KEEPALIVE with ttl 100", "4.2",
                             "a KEEPALIVE with ttl 100: free 100 ms after it, the expiry set, not extended",
                             true));
    }
    {
        Builder b;
        b.hold(0, 1200);  // KEEPALIVE seq 6 at 1000
        b.datagram(1200, Source::AgentA, 0, "RELEASE");
        b.add(1900, Source::AgentA, conform_payload(CONFORM_TTL_MS, 6), QStringLiteral("late duplicate KEEPALIVE"),
              6);
        all.push_back(b.done("late-duplicate", "stayed free after the late duplicate", "4.4",
                             "a KEEPALIVE's copy 700 ms after the RELEASE: stays free", true));
    }
    {
        Builder b;
        b.hold(0, 1000);  // seq 1..5, the last KEEPALIVE at 800: lapses at 1400
        const qint64 stale = b.next_seq[0]++;
        b.hold(1700, 2700);
        b.add(1705, Source::AgentA, conform_payload(0, stale), QStringLiteral("stale RELEASE"), stale);
        b.datagram(2700, Source::AgentA, 0, "RELEASE");
        all.push_back(b.done("stale-release", "inhibited until hold 2's RELEASE", "4.4",
                             "hold 1's RELEASE after hold 2's HOLD: inhibited until hold 2's RELEASE", false));
    }
    {
        Builder b;
        b.hold(0, 600);  // seq 1..3, lapses at 1000
        b.add(1300, Source::AgentA, conform_payload(CONFORM_TTL_MS, 2), QStringLiteral("stale KEEPALIVE"), 2);
        all.push_back(b.done("stale-keepalive", "stayed free after the stale KEEPALIVE", "4.4",
                             "after a lapse, a KEEPALIVE with a lower seq: stays free", true));
    }
    {
        Builder b;
        b.datagram(0, Source::AgentA, CONFORM_TTL_MS, "HOLD");
        for (qint64 t = 200; t < 1400; t += CONFORM_KEEPALIVE_MS) {
            QByteArray bytes = conform_payload(CONFORM_TTL_MS, b.next_seq[0]++);
            bytes.chop(1);  // the closing brace lost: not JSON
            b.add(t, Source::AgentA, bytes, QStringLiteral("corrupt KEEPALIVE"));
        }
        b.datagram(1400, Source::AgentA, 0, "RELEASE");
        all.push_back(b.done("corrupt", "free at the HOLD + ttl", "2.6", "every KEEPALIVE invalid JSON: free at the HOLD + ttl", true));
    }
    {
        Builder b;
        // A short hold first, so that the station is seen free after an
        // inhibit while the refused datagrams come (each would hold if taken).
        b.hold(0, 400);
        b.datagram(400, Source::AgentA, 0, "RELEASE");
        b.add(800, Source::AgentA,
              body("{\"tx_inhibit\":1,\"ttl_ms\":600,\"station\":\"CONFORM\",\"band\":\"144\",\"seq\":\"4\"}"),
              QStringLiteral("seq as a string"));
        b.add(1000, Source::AgentA,
              body("{\"tx_inhibit\":1,\"ttl_ms\":-600,\"station\":\"CONFORM\",\"band\":\"144\",\"seq\":5}"),
              QStringLiteral("negative ttl"));
        b.add(1200, Source::AgentA, body("{\"tx_inhibit\":1,\"ttl_ms\":600,\"station\":\"CONFORM\",\"seq\":6}"),
              QStringLiteral("datagram without band"));
        b.add(1400, Source::AgentA,
              body("{\"tx_inhibit\":1,\"ttl_ms\":600,\"ttl_ms\":600,\"station\":\"CONFORM\",\"band\":\"144\","
                   "\"seq\":7}"),
              QStringLiteral("duplicate ttl_ms key"));
        const QByteArray head = conform_payload(CONFORM_TTL_MS, 8);
        // A valid datagram in every way but its length: one byte over the limit.
        QByteArray station_body(2049 - head.size() + int(qstrlen(CONFORM_STATION)), 'X');
        b.add(1600, Source::AgentA,
              inhibit_payload(CONFORM_TTL_MS, station_body, QByteArray(CONFORM_BAND), 8),
              QStringLiteral("2049-byte datagram"));
        all.push_back(b.done("refused-fields", "never inhibited by them", "2.6",
                             "a seq as a string, a negative ttl, a missing key, a duplicate key, 2049 bytes: "
                             "never inhibited by them",
                             true));
    }
    {
        Builder b;
        b.hold(0, 1400, Source::AgentA);
        b.datagram(1400, Source::AgentA, 0, "RELEASE");
        b.hold(600, 2400, Source::AgentB);
        b.datagram(2400, Source::AgentB, 0, "RELEASE");
        all.push_back(b.done("two-agents", "inhibited until B released", "4.1", "A and B overlap, A releases first: inhibited until B releases",
                             false));
    }
    {
        Builder b;
        b.hold(0, 1200);  // seq 1..6
        b.next_seq[0] = 1;
        b.datagram(1200, Source::AgentA, CONFORM_TTL_MS, "HOLD after restart");
        b.scenario.sends.back().rebind = true;
        for (qint64 t = 1400; t < 2200; t += CONFORM_KEEPALIVE_MS)
            b.datagram(t, Source::AgentA, CONFORM_TTL_MS, "KEEPALIVE");
        b.datagram(2200, Source::AgentA, 0, "RELEASE");
        all.push_back(b.done("restart", "inhibited by the new run, free at its RELEASE", "3.4",
                             "the agent restarts from seq 1 on the same port during a hold: inhibited by the new "
                             "run, free at its RELEASE",
                             true));
    }
    {
        Builder b;
        b.hold(0, 2400);
        b.datagram(2400, Source::AgentA, 0, "RELEASE");
        const QByteArray junk("{\"tx_inhibit\":1,\"ttl_ms\":600,\"station\":");
        qint64 t = 300;
        for (int sent = 0; sent < FLOOD_DATAGRAMS; sent += FLOOD_BURST, t += FLOOD_STEP_MS)
            b.add(t, Source::Flood, junk, QStringLiteral("malformed"), -1, FLOOD_BURST);
        all.push_back(b.done("malformed-flood", "inhibited throughout, free at the RELEASE", "4.5",
                             "10,000 malformed datagrams during a hold: inhibited throughout, free at the RELEASE",
                             true));
    }
    return all;
}

}  // namespace

QByteArray conform_payload(int ttl_ms, qint64 seq)
{
    return inhibit_payload(ttl_ms, QByteArray(CONFORM_STATION), QByteArray(CONFORM_BAND), seq);
}

const std::vector<Scenario>& conform_scenarios()
{
    static const std::vector<Scenario> all = build_scenarios();
    return all;
}

const Scenario* find_scenario(const QString& name)
{
    for (const Scenario& scenario : conform_scenarios())
        if (scenario.name == name)
            return &scenario;
    return nullptr;
}

std::vector<const Scenario*> select_scenarios(const QStringList& names, QStringList* unknown)
{
    std::vector<const Scenario*> chosen;
    for (const QString& name : names)
        if (!find_scenario(name) && unknown)
            unknown->append(name);
    for (const Scenario& scenario : conform_scenarios())
        if (names.isEmpty() || names.contains(scenario.name))
            chosen.push_back(&scenario);
    return chosen;
}
