#pragma once
// Faults on purpose: what happens to each inhibit datagram after it is built
// and its seq used up, before it is sent. Words as netem's: loss, drop (a
// fixed schedule per hold), duplicate, reorder (gap 1), delay with jitter,
// corrupt (one bit), mute (the agent dies mid-hold).
//
// Pure: the plan is driven by the caller's clock (monotonic ns) and hands
// back what to send now; a timer of the caller's sends what falls due later.
// Random faults draw from the plan's own generator, seeded once, in the order
// the datagrams come, so the same seed and the same keying repeat the faults.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <deque>
#include <random>
#include <vector>

#include "common/fault_action.h"
#include "common/inhibit_kind.h"

constexpr int FAULT_KINDS = 3;           // HOLD, KEEPALIVE, RELEASE
constexpr qint32 MAX_FAULT_DELAY_MS = 10000;
constexpr qint32 MAX_FAULT_MUTE_MS = 3600000;

// Every fault given on the command line, merged.
struct FaultConfig {
    // Per kind (index: InhibitKind); -1: not given for that kind.
    double loss_pct[FAULT_KINDS] = {-1, -1, -1};
    double duplicate_pct[FAULT_KINDS] = {-1, -1, -1};
    qint32 duplicate_after_ms[FAULT_KINDS] = {0, 0, 0};  // the copy this late; 0: back to back
    double reorder_pct[FAULT_KINDS] = {-1, -1, -1};
    double corrupt_pct[FAULT_KINDS] = {-1, -1, -1};
    struct DropRange {
        InhibitKind kind;
        qint32 first;  // 1-based within a hold
        qint32 last;   // inclusive; INT32_MAX: every one
    };
    std::vector<DropRange> drops;
    qint32 delay_ms = -1;   // -1: no delay
    qint32 jitter_ms = 0;
    qint32 mute_ms = -1;    // -1: no mute
    QStringList given;      // as given, for the banner
};

bool fault_config_empty(const FaultConfig& config);
// A fault that draws from the generator is given (so the seed matters).
bool fault_config_random(const FaultConfig& config);

// Adds one fault to config. On a bad or contradictory one returns false and
// sets error to "keyline-bench: --fault \"FAULT\": <what is wrong>".
bool add_fault(FaultConfig& config, const QString& fault, QString* error);

struct OutgoingDatagram {
    QByteArray bytes;
    InhibitKind kind = InhibitKind::Hold;
    qint64 seq = 0;
    qint32 delayed_ms = 0;  // > 0: sent late by delay
};

struct FaultPlan {
    FaultConfig config;
    std::mt19937_64 rng;

    // The hold in progress, as the datagrams tell it: a HOLD opens it, a
    // RELEASE closes it.
    bool in_hold = false;
    qint64 hold_start_ns = 0;
    qint32 count_in_hold[FAULT_KINDS] = {0, 0, 0};
    bool muted = false;

    bool holding_back = false;
    OutgoingDatagram held_back;
    int held_back_copies = 1;  // 2 when it was duplicated too

    qint32 held_back_copy_ms = 0;

    struct Pending {
        qint64 due_ns;
        OutgoingDatagram datagram;
        qint32 copy_after_ms;  // > 0: a late copy, this long after its original
    };
    std::deque<Pending> delayed;  // by due time; delayed datagrams keep their order
    qint64 last_delayed_due_ns = -1;

    FaultCounts counts;
};

void init_fault_plan(FaultPlan& plan, const FaultConfig& config, quint64 seed);

// One datagram just built at now_ns. Appends what is to be sent now, in
// order, to send_now, and every fault that acted to actions. A delayed datagram is held in the plan until take_due_datagrams.
void plan_datagram(FaultPlan& plan, OutgoingDatagram datagram, qint64 now_ns,
                   std::vector<OutgoingDatagram>& send_now, std::vector<FaultAction>& actions);

// The delayed datagrams (and late copies) due at now_ns, in order, each with
// its Delayed or CopySent action (logged when it is really sent).
void take_due_datagrams(FaultPlan& plan, qint64 now_ns, std::vector<OutgoingDatagram>& send_now,
                        std::vector<FaultAction>& actions);

// When the next delayed datagram is due (ns); -1 when none waits.
qint64 next_due_ns(const FaultPlan& plan);

// At quit: a datagram still held back goes out now (late, never lost).
void release_held_back(FaultPlan& plan, qint64 now_ns, std::vector<OutgoingDatagram>& send_now,
                       std::vector<FaultAction>& actions);
