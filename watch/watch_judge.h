#pragma once
// Judges what the station under test did against what it should have done.
// Pure: plain state, times in ms on one monotonic clock, no I/O.
//
// The model: the station must be inhibited while any stream holds. It comes
// in as changes (watch_model): inhibited from a HOLD, RESUME or restart's
// arrival, free from the release or lapse that ends the last hold. The
// station is seen in one of two ways (watch_observe):
//   - Rig: PTT readings, true = transmitting, stamped when each poll went out;
//   - Log: lines, true = the station said "inhibited", false = "free", each
//     stamped on arrival; what a line says holds until the next line.
// After each change the station has react_ms to act: nothing is judged in
// that grace. Disagreements past it are events:
//   tx_while_held  Rig: the PTT read on while held (once per inhibit)
//   tx_blocked     Rig, expect_tx only: the PTT read off after an inhibit
//                  ended (once per free stretch)
//   inhibit_late   Log: not said inhibited by react_ms after the begin
//   inhibit_early  Log: said free while held
//   inhibit_stuck  Log: still (or again) said inhibited after the end
//   watch_lost     the rig or the command was lost: nothing after is judged
//   tx_stop        Rig, not a problem: for an inhibit that began while the
//                  PTT was on, when it first read off
// Inputs may come in any interleaving; the owner calls watch_advance(until)
// once the model is final up to until (every datagram and lapse before it
// fed), and judging runs in time order up to there. A direction never
// observed is never passed: watch_not_judged says what was not seen.

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <deque>
#include <vector>

enum class WatchSource { Rig, Log };

enum class WatchKind { TxWhileHeld, TxBlocked, InhibitLate, InhibitEarly, InhibitStuck, WatchLost, TxStop };
constexpr int WATCH_KINDS = 7;

// "tx_while_held", "tx_blocked", ...
const char* watch_kind_name(WatchKind kind);
bool watch_kind_is_problem(WatchKind kind);

struct WatchEvent {
    WatchKind kind = WatchKind::WatchLost;
    qint64 at_ms = -1;        // when the disagreement was first seen (watch_lost: when lost)
    qint64 change_ms = -1;    // the model's change it is about: the begin (held kinds) or end (free kinds)
    qint64 begin_ms = -1;     // the begin of the inhibit it is about or follows (-1: none yet)
    qint64 offset_ms = -1;    // per kind, from change_ms: tx_while_held, tx_blocked: the first
                              // disagreeing reading; inhibit_late: the "inhibited" line (-1: not
                              // while held); inhibit_early: the "free" line; inhibit_stuck: the
                              // "free" line (-1: not before the next inhibit or the end), or, when
                              // again is set, the "inhibited" line; tx_stop: the first off reading
    qint64 lasted_ms = -1;    // how long the disagreement lasted from at_ms (-1: to the run's end)
    bool again = false;       // inhibit_stuck: said inhibited again after saying free
    QString text;             // watch_lost: why
};

using WatchEvents = std::vector<WatchEvent>;

struct WatchConfig {
    WatchSource source = WatchSource::Rig;
    qint64 react_ms = 50;
    bool expect_tx = false;  // Rig: the station transmits whenever it may
};

struct WatchSample {
    qint64 at_ms = 0;
    bool level = false;  // Rig: PTT on; Log: said inhibited
};

// An open disagreement, waiting for the station to agree or the stretch to end.
struct WatchOpen {
    bool open = false;
    bool done = false;  // reported in this stretch: once per stretch
    WatchEvent event;
};

struct WatchJudge {
    WatchConfig config;
    qint64 start_ms = 0;

    // Inputs not yet judged, each in time order.
    std::deque<WatchSample> model_changes;  // level: inhibited
    std::deque<WatchSample> samples;
    qint64 lost_at_ms = -1;
    QString lost_text;

    // The model's current stretch.
    bool held = false;
    qint64 since_ms = 0;
    qint64 begin_ms = -1;          // of the current or last inhibit
    bool after_inhibit = false;    // a free stretch that follows an inhibit
    qint64 last_end_ms = -1;
    bool stretch_seen = false;     // a reading past the grace, or the log's deadline judged
    bool deadline_done = false;
    bool tx_stop_pending = false;
    WatchOpen disagreement;        // the stretch's one problem kind (see watch_judge.cpp)
    bool early_done = false;
    bool said_inhibited = false;   // Log: said inhibited since the inhibit began

    // What the station was last seen doing: -1 unknown, 0, 1.
    int observed = -1;
    bool lost = false;

    // The whole run.
    qint64 counts[WATCH_KINDS] = {};
    qint64 inhibits = 0;
    qint64 readings = 0;           // samples judged
    qint64 seen_on = 0;            // Rig: readings on; Log: "inhibited" lines
    qint64 seen_off = 0;           // Rig: readings off; Log: "free" lines
    qint64 unseen_holds = 0;       // inhibits longer than the grace with nothing seen past it
    qint64 unseen_frees = 0;       // free stretches after an inhibit, likewise (judged ones only)
    qint64 judged_frees = 0;
    qint64 max_tx_stop_ms = -1;
    bool cut_short = false;        // the run ended inside the grace after the last change
};

void watch_start(WatchJudge& judge, const WatchConfig& config, qint64 start_ms);
void watch_model(WatchJudge& judge, qint64 at_ms, bool inhibited);
void watch_observe(WatchJudge& judge, qint64 at_ms, bool level);
void watch_lost(WatchJudge& judge, qint64 at_ms, const QString& why);
// Judges everything up to until_ms; events are appended in time order.
void watch_advance(WatchJudge& judge, qint64 until_ms, WatchEvents& events);
// The end of the run: judges up to end_ms and closes what is open.
void watch_finish(WatchJudge& judge, qint64 end_ms, WatchEvents& events);
// The log's next deadline (a begin or end plus react_ms) not yet judged, or -1.
qint64 watch_next_deadline_ms(const WatchJudge& judge);

qint64 watch_problems(const WatchJudge& judge);
// Why part of the run could not be judged; empty when every direction was seen.
QStringList watch_not_judged(const WatchJudge& judge);
