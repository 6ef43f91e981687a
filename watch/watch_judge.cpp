#include "watch/watch_judge.h"

#include <limits>

// Each stretch of the model (an inhibit, or the free time after one) can
// hold one open disagreement of the kind its source judges there: an
// inhibit tx_while_held (Rig) or inhibit_late (Log), a free stretch
// tx_blocked (Rig) or inhibit_stuck (Log). inhibit_early is said at once.

namespace {

constexpr qint64 NEVER = std::numeric_limits<qint64>::max();

int index(WatchKind kind)
{
    return static_cast<int>(kind);
}

void emit_event(WatchJudge& judge, const WatchEvent& event, WatchEvents& events)
{
    ++judge.counts[index(event.kind)];
    events.push_back(event);
}

void open_disagreement(WatchJudge& judge, WatchKind kind, qint64 at_ms, qint64 offset_ms)
{
    if (judge.disagreement.open || judge.disagreement.done)
        return;
    WatchEvent& e = judge.disagreement.event;
    e = WatchEvent();
    e.kind = kind;
    e.at_ms = at_ms;
    e.change_ms = judge.since_ms;
    e.begin_ms = judge.begin_ms;
    e.offset_ms = offset_ms;
    judge.disagreement.open = true;
}

// The station agreed at at_ms (-1: the run ended first).
void close_disagreement(WatchJudge& judge, qint64 at_ms, WatchEvents& events)
{
    if (!judge.disagreement.open)
        return;
    WatchEvent& e = judge.disagreement.event;
    e.lasted_ms = at_ms < 0 ? -1 : at_ms - e.at_ms;
    judge.disagreement.open = false;
    judge.disagreement.done = true;
    emit_event(judge, e, events);
}

bool past_grace(const WatchJudge& judge, qint64 at_ms)
{
    return at_ms >= judge.since_ms + judge.config.react_ms;
}

// The log judges a stretch once, at its deadline; a rig at every reading.
bool stretch_has_deadline(const WatchJudge& judge)
{
    return judge.config.source == WatchSource::Log && !judge.deadline_done && (judge.held || judge.after_inhibit);
}

void end_stretch(WatchJudge& judge, qint64 at_ms, bool at_run_end, WatchEvents& events)
{
    const bool long_enough = at_ms - judge.since_ms > judge.config.react_ms;
    if (judge.held) {
        if (judge.disagreement.open && judge.disagreement.event.kind == WatchKind::InhibitLate)
            judge.disagreement.event.offset_ms = -1;  // not said while held
        close_disagreement(judge, at_run_end ? -1 : at_ms, events);
        if (long_enough && !judge.stretch_seen && !judge.lost)
            ++judge.unseen_holds;
    } else if (judge.after_inhibit) {
        close_disagreement(judge, at_run_end ? -1 : at_ms, events);
        const bool judged_here = judge.config.source == WatchSource::Log || judge.config.expect_tx;
        if (judged_here && long_enough && !judge.lost) {
            if (judge.stretch_seen)
                ++judge.judged_frees;
            else
                ++judge.unseen_frees;
        }
    }
}

void change_model(WatchJudge& judge, const WatchSample& change, WatchEvents& events)
{
    if (change.level == judge.held)
        return;
    end_stretch(judge, change.at_ms, false, events);
    judge.held = change.level;
    judge.since_ms = change.at_ms;
    judge.stretch_seen = false;
    judge.deadline_done = false;
    judge.disagreement = WatchOpen();
    judge.early_done = false;
    judge.said_inhibited = false;
    judge.tx_stop_pending = false;
    if (judge.held) {
        ++judge.inhibits;
        judge.begin_ms = change.at_ms;
        judge.tx_stop_pending = judge.config.source == WatchSource::Rig && judge.observed == 1 && !judge.lost;
    } else {
        judge.after_inhibit = true;
        judge.last_end_ms = change.at_ms;
    }
}

void observe_rig(WatchJudge& judge, qint64 t, bool on, WatchEvents& events)
{
    if (judge.held) {
        if (!on && judge.tx_stop_pending) {
            judge.tx_stop_pending = false;
            WatchEvent stop;
            stop.kind = WatchKind::TxStop;
            stop.at_ms = t;
            stop.change_ms = stop.begin_ms = judge.since_ms;
            stop.offset_ms = t - judge.since_ms;
            if (stop.offset_ms > judge.max_tx_stop_ms)
                judge.max_tx_stop_ms = stop.offset_ms;
            emit_event(judge, stop, events);
        }
        if (!past_grace(judge, t))
            return;
        judge.stretch_seen = true;
        if (on)
            open_disagreement(judge, WatchKind::TxWhileHeld, t, t - judge.since_ms);
        else
            close_disagreement(judge, t, events);
    } else if (judge.after_inhibit && judge.config.expect_tx) {
        if (!past_grace(judge, t))
            return;
        judge.stretch_seen = true;
        if (!on)
            open_disagreement(judge, WatchKind::TxBlocked, t, t - judge.since_ms);
        else
            close_disagreement(judge, t, events);
    }
}

void observe_log(WatchJudge& judge, qint64 t, bool inhibited, WatchEvents& events)
{
    if (judge.held) {
        if (inhibited) {
            judge.said_inhibited = true;
            if (judge.disagreement.open && judge.disagreement.event.kind == WatchKind::InhibitLate) {
                judge.disagreement.event.offset_ms = t - judge.since_ms;
                close_disagreement(judge, t, events);
            }
        } else if (!judge.early_done && (judge.last_end_ms < 0 || t >= judge.last_end_ms + judge.config.react_ms)) {
            // A "free" line inside the grace after the last end is the
            // station catching up with that end, not an early one.
            judge.early_done = true;
            WatchEvent early;
            early.kind = WatchKind::InhibitEarly;
            early.at_ms = t;
            early.change_ms = early.begin_ms = judge.since_ms;
            early.offset_ms = t - judge.since_ms;
            emit_event(judge, early, events);
        }
    } else if (judge.after_inhibit) {
        if (!inhibited) {
            if (judge.disagreement.open) {
                if (!judge.disagreement.event.again)
                    judge.disagreement.event.offset_ms = t - judge.since_ms;
                close_disagreement(judge, t, events);
            }
        } else if (judge.deadline_done && !judge.disagreement.open && !judge.disagreement.done) {
            open_disagreement(judge, WatchKind::InhibitStuck, t, t - judge.since_ms);
            judge.disagreement.event.again = true;
        }
    }
}

void observe(WatchJudge& judge, const WatchSample& sample, WatchEvents& events)
{
    ++judge.readings;
    if (sample.level)
        ++judge.seen_on;
    else
        ++judge.seen_off;
    if (judge.config.source == WatchSource::Rig)
        observe_rig(judge, sample.at_ms, sample.level, events);
    else
        observe_log(judge, sample.at_ms, sample.level, events);
    judge.observed = sample.level ? 1 : 0;
}

// The log's deadline: what the station last said, react_ms after a change.
void judge_deadline(WatchJudge& judge, qint64 at_ms)
{
    judge.deadline_done = true;
    judge.stretch_seen = true;
    // A station that said inhibited in time and then free is early, not late.
    if (judge.held && judge.observed != 1 && !judge.said_inhibited)
        open_disagreement(judge, WatchKind::InhibitLate, at_ms, -1);
    else if (!judge.held && judge.observed == 1)
        open_disagreement(judge, WatchKind::InhibitStuck, at_ms, -1);
}

void lose(WatchJudge& judge, WatchEvents& events)
{
    const qint64 at = judge.lost_at_ms;
    judge.lost = true;
    judge.tx_stop_pending = false;
    close_disagreement(judge, -1, events);
    judge.disagreement.done = true;
    judge.deadline_done = true;
    WatchEvent e;
    e.kind = WatchKind::WatchLost;
    e.at_ms = at;
    e.begin_ms = judge.begin_ms;
    e.text = judge.lost_text;
    emit_event(judge, e, events);
    judge.samples.clear();
}

}  // namespace

const char* watch_kind_name(WatchKind kind)
{
    switch (kind) {
    case WatchKind::TxWhileHeld: return "tx_while_held";
    case WatchKind::TxBlocked: return "tx_blocked";
    case WatchKind::InhibitLate: return "inhibit_late";
    case WatchKind::InhibitEarly: return "inhibit_early";
    case WatchKind::InhibitStuck: return "inhibit_stuck";
    case WatchKind::WatchLost: return "watch_lost";
    case WatchKind::TxStop: return "tx_stop";
    }
    return "watch";
}

bool watch_kind_is_problem(WatchKind kind)
{
    return kind != WatchKind::TxStop;
}

void watch_start(WatchJudge& judge, const WatchConfig& config, qint64 start_ms)
{
    judge = WatchJudge();
    judge.config = config;
    judge.start_ms = judge.since_ms = start_ms;
}

void watch_model(WatchJudge& judge, qint64 at_ms, bool inhibited)
{
    const qint64 last = judge.model_changes.empty() ? judge.since_ms : judge.model_changes.back().at_ms;
    judge.model_changes.push_back({qMax(at_ms, last), inhibited});
}

void watch_observe(WatchJudge& judge, qint64 at_ms, bool level)
{
    if (judge.lost || judge.lost_at_ms >= 0)
        return;
    const qint64 last = judge.samples.empty() ? at_ms : judge.samples.back().at_ms;
    judge.samples.push_back({qMax(at_ms, last), level});
}

void watch_lost(WatchJudge& judge, qint64 at_ms, const QString& why)
{
    if (judge.lost || judge.lost_at_ms >= 0)
        return;
    judge.lost_at_ms = at_ms;
    judge.lost_text = why;
}

qint64 watch_next_deadline_ms(const WatchJudge& judge)
{
    return stretch_has_deadline(judge) ? judge.since_ms + judge.config.react_ms : -1;
}

void watch_advance(WatchJudge& judge, qint64 until_ms, WatchEvents& events)
{
    for (;;) {
        const qint64 model = judge.model_changes.empty() ? NEVER : judge.model_changes.front().at_ms;
        const qint64 sample = judge.samples.empty() ? NEVER : judge.samples.front().at_ms;
        const qint64 deadline = stretch_has_deadline(judge) && !judge.lost
                                    ? judge.since_ms + judge.config.react_ms
                                    : NEVER;
        const qint64 lost = judge.lost || judge.lost_at_ms < 0 ? NEVER : judge.lost_at_ms;
        // At one time: the model's change first, then what was seen, then a
        // deadline (a line at the deadline is in time), then a loss.
        const qint64 next = qMin(qMin(model, sample), qMin(deadline, lost));
        if (next == NEVER || next > until_ms)
            return;
        if (model == next) {
            change_model(judge, judge.model_changes.front(), events);
            judge.model_changes.pop_front();
        } else if (sample == next) {
            observe(judge, judge.samples.front(), events);
            judge.samples.pop_front();
        } else if (deadline == next) {
            judge_deadline(judge, next);
        } else {
            lose(judge, events);
        }
    }
}

void watch_finish(WatchJudge& judge, qint64 end_ms, WatchEvents& events)
{
    watch_advance(judge, end_ms, events);
    if (judge.held && judge.disagreement.open && judge.disagreement.event.kind == WatchKind::InhibitLate)
        judge.disagreement.event.offset_ms = -1;
    judge.cut_short = (judge.held || judge.after_inhibit) && !judge.lost && end_ms - judge.since_ms < judge.config.react_ms;
    end_stretch(judge, end_ms, true, events);
}

qint64 watch_problems(const WatchJudge& judge)
{
    qint64 n = 0;
    for (int k = 0; k < WATCH_KINDS; ++k)
        if (watch_kind_is_problem(static_cast<WatchKind>(k)))
            n += judge.counts[k];
    return n;
}

QStringList watch_not_judged(const WatchJudge& judge)
{
    QStringList why;
    const bool rig = judge.config.source == WatchSource::Rig;
    if (judge.inhibits == 0)
        why << QStringLiteral("no inhibit in the run");
    if (judge.lost)
        why << QStringLiteral("the watch was lost");
    if (judge.readings == 0)
        why << (rig ? QStringLiteral("the PTT was never read") : QStringLiteral("no log line matched"));
    if (judge.cut_short)
        why << QStringLiteral("the run ended inside the grace after the last change");
    if (judge.unseen_holds > 0)
        why << QStringLiteral("%1 inhibit(s) with no %2 past the grace")
                   .arg(judge.unseen_holds)
                   .arg(rig ? QStringLiteral("PTT reading") : QStringLiteral("judgement"));
    if (rig && judge.config.expect_tx) {
        if (judge.readings > 0 && judge.seen_on == 0)
            why << QStringLiteral("the PTT never read on");
        if (judge.unseen_frees > 0)
            why << QStringLiteral("%1 end(s) of an inhibit with no PTT reading past the grace").arg(judge.unseen_frees);
        if (judge.inhibits > 0 && judge.judged_frees == 0 && !judge.lost)
            why << QStringLiteral("no end of an inhibit was judged");
    }
    if (!rig && judge.readings > 0) {
        if (judge.seen_on == 0)
            why << QStringLiteral("the log never said inhibited");
        if (judge.seen_off == 0)
            why << QStringLiteral("the log never said free");
    }
    return why;
}
