#pragma once
// The conformance scenarios: for each, what the agent sends and when, as a
// plain schedule (no socket, no clock), and the rule of the protocol it
// checks. The runner plays a schedule; the model of what a correct station
// holds is computed from what was really sent.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

constexpr int CONFORM_TTL_MS = 600;
constexpr int CONFORM_KEEPALIVE_MS = 200;
// After the last datagram or expiry the station is watched this long, so a
// station that stays inhibited is seen staying so (at least react-ms more).
constexpr qint64 CONFORM_TAIL_MS = 800;
// Between scenarios: the station settles, so one cannot spill into the next.
constexpr qint64 CONFORM_SETTLE_MS = 1000;
// The station and band every scenario's datagrams carry.
constexpr const char* CONFORM_STATION = "CONFORM";
constexpr const char* CONFORM_BAND = "144";

// Which socket a datagram leaves from. Each scenario opens its own fresh ones.
enum class Source { AgentA, AgentB, Flood };
constexpr int SOURCE_COUNT = 3;

struct ScheduledSend {
    qint64 at_ms = 0;        // from the scenario's start
    Source source = Source::AgentA;
    QByteArray payload;      // the bytes, exactly
    int copies = 1;          // sent back to back (the flood)
    bool rebind = false;     // the source's socket is closed and opened again on the same port first
    QString label;           // "HOLD", "KEEPALIVE", "RELEASE", "duplicate KEEPALIVE", ...
    qint64 seq = -1;         // of a valid datagram; -1 for a refused one
};

struct Scenario {
    QString name;            // stable: the JUnit case and --only use it
    QString rule;            // the section of docs/TX_INHIBIT.md it checks, "4.3"
    QString must;            // what the station must do, in a few words
    QString pass;            // what a pass says it did
    std::vector<ScheduledSend> sends;  // in time order
    qint64 last_send_ms = 0;
    bool checks_free = false;  // the MUST includes the station being free at some point
};

// Every scenario, in the order they run.
const std::vector<Scenario>& conform_scenarios();
const Scenario* find_scenario(const QString& name);

// The datagram a keyline-bench would send.
QByteArray conform_payload(int ttl_ms, qint64 seq);

// The selection --only names, in the table's order; the names not found in *unknown.
std::vector<const Scenario*> select_scenarios(const QStringList& names, QStringList* unknown);
