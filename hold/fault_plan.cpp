#include "hold/fault_plan.h"

#include <QRegularExpression>

#include <algorithm>
#include <climits>

namespace {

int index_of(InhibitKind kind)
{
    return static_cast<int>(kind);
}

bool kind_from_word(const QString& word, InhibitKind* kind)
{
    if (word == QLatin1String("hold"))
        *kind = InhibitKind::Hold;
    else if (word == QLatin1String("keepalive"))
        *kind = InhibitKind::Keepalive;
    else if (word == QLatin1String("release"))
        *kind = InhibitKind::Release;
    else
        return false;
    return true;
}

// 0..100, with a fraction if wanted; -1 when it is not that.
double percentage(const QString& text)
{
    static const QRegularExpression shape(QStringLiteral("^\\d{1,3}(\\.\\d{1,6})?$"));
    if (!shape.match(text).hasMatch())
        return -1;
    const double value = text.toDouble();
    return value <= 100.0 ? value : -1;
}

// A whole number 0..limit; -1 when it is not that.
qint64 whole(const QString& text, qint64 limit)
{
    static const QRegularExpression shape(QStringLiteral("^\\d{1,10}$"));
    if (!shape.match(text).hasMatch())
        return -1;
    const qint64 value = text.toLongLong();
    return value <= limit ? value : -1;
}

const char* const KIND_WORDS = "hold, keepalive or release";

// loss, duplicate, reorder, corrupt: P[:KIND]. Without a kind, a RELEASE is
// included only where release_by_default.
QString add_percentage(double (&table)[FAULT_KINDS], const QString& value, bool release_by_default)
{
    const QStringList parts = value.split(QLatin1Char(':'));
    if (parts.size() > 2)
        return QStringLiteral("expected P[:KIND]");
    const double pct = percentage(parts[0]);
    if (pct < 0)
        return QStringLiteral("the percentage must be a number 0..100, not \"%1\"").arg(parts[0]);
    bool which[FAULT_KINDS] = {true, true, release_by_default};
    if (parts.size() == 2) {
        InhibitKind kind;
        if (!kind_from_word(parts[1], &kind))
            return QStringLiteral("the kind must be %1, not \"%2\"").arg(KIND_WORDS, parts[1]);
        for (int k = 0; k < FAULT_KINDS; ++k)
            which[k] = k == index_of(kind);
    }
    for (int k = 0; k < FAULT_KINDS; ++k)
        if (which[k] && table[k] >= 0)
            return QStringLiteral("contradicts an earlier one for %1")
                .arg(QLatin1String(inhibit_label(static_cast<InhibitKind>(k))));
    for (int k = 0; k < FAULT_KINDS; ++k)
        if (which[k])
            table[k] = pct;
    return QString();
}

// duplicate=P[:KIND][@MS]: the copy MS ms after its original.
QString add_duplicate(FaultConfig& config, const QString& value)
{
    const int at = value.indexOf(QLatin1Char('@'));
    qint64 after = 0;
    if (at >= 0) {
        after = whole(value.mid(at + 1), MAX_FAULT_DELAY_MS);
        if (after < 0)
            return QStringLiteral("the copy's lateness must be whole ms 0..%1").arg(MAX_FAULT_DELAY_MS);
    }
    double before[FAULT_KINDS];
    std::copy(std::begin(config.duplicate_pct), std::end(config.duplicate_pct), before);
    const QString problem = add_percentage(config.duplicate_pct, at < 0 ? value : value.left(at), true);
    for (int k = 0; k < FAULT_KINDS; ++k)
        if (config.duplicate_pct[k] != before[k])
            config.duplicate_after_ms[k] = static_cast<qint32>(after);
    return problem;
}

QString add_drop(FaultConfig& config, const QString& value)
{
    static const QRegularExpression shape(QStringLiteral("^([^:]+)(?::(\\d{1,9})(?:-(\\d{1,9}))?)?$"));
    const QRegularExpressionMatch m = shape.match(value);
    InhibitKind kind;
    if (!m.hasMatch())
        return QStringLiteral("expected KIND[:N[-M]]");
    if (!kind_from_word(m.captured(1), &kind))
        return QStringLiteral("the kind must be %1, not \"%2\"").arg(KIND_WORDS, m.captured(1));
    FaultConfig::DropRange range{kind, 1, INT_MAX};
    if (!m.captured(2).isEmpty()) {
        range.first = m.captured(2).toInt();
        range.last = m.captured(3).isEmpty() ? range.first : m.captured(3).toInt();
        if (range.first < 1 || range.last < range.first)
            return QStringLiteral("the datagrams are counted from 1, and M is not below N");
    }
    config.drops.push_back(range);
    return QString();
}

QString add_delay(FaultConfig& config, const QString& value)
{
    if (config.delay_ms >= 0)
        return QStringLiteral("a second delay contradicts the first");
    const QStringList parts = value.split(QLatin1Char('~'));
    if (parts.size() > 2)
        return QStringLiteral("expected MS[~JITTER]");
    const qint64 delay = whole(parts[0], MAX_FAULT_DELAY_MS);
    const qint64 jitter = parts.size() == 2 ? whole(parts[1], MAX_FAULT_DELAY_MS) : 0;
    if (delay < 0 || jitter < 0)
        return QStringLiteral("the delay and its jitter must be whole ms 0..%1").arg(MAX_FAULT_DELAY_MS);
    config.delay_ms = static_cast<qint32>(delay);
    config.jitter_ms = static_cast<qint32>(jitter);
    return QString();
}

QString add_mute(FaultConfig& config, const QString& value)
{
    if (config.mute_ms >= 0)
        return QStringLiteral("a second mute contradicts the first");
    const qint64 ms = whole(value, MAX_FAULT_MUTE_MS);
    if (ms < 1)
        return QStringLiteral("the time must be whole ms 1..%1").arg(MAX_FAULT_MUTE_MS);
    config.mute_ms = static_cast<qint32>(ms);
    return QString();
}

bool any_given(const double (&table)[FAULT_KINDS])
{
    return std::any_of(std::begin(table), std::end(table), [](double p) { return p >= 0; });
}

// A configured chance (pct >= 0) always takes one draw, hit or miss, so the
// draws follow the datagrams alone.
bool draw(FaultPlan& plan, double pct)
{
    if (pct < 0)
        return false;
    const double u = static_cast<double>(plan.rng() >> 11) * (1.0 / 9007199254740992.0);
    return u * 100.0 < pct;
}

bool scheduled_drop(const FaultConfig& config, InhibitKind kind, qint32 ordinal)
{
    for (const FaultConfig::DropRange& r : config.drops)
        if (r.kind == kind && ordinal >= r.first && ordinal <= r.last)
            return true;
    return false;
}

void act(std::vector<FaultAction>& actions, FaultType type, const OutgoingDatagram& d, qint64 value)
{
    FaultAction action;
    action.type = type;
    action.kind = d.kind;
    action.seq = d.seq;
    action.value = value;
    actions.push_back(action);
}

bool delaying(const FaultConfig& config)
{
    return config.delay_ms > 0 || config.jitter_ms > 0;
}

constexpr qint64 NS_PER_MS = 1000000;

// Into the queue by due time, after everything due at the same time.
void enqueue(FaultPlan& plan, qint64 due_ns, const OutgoingDatagram& d, qint32 copy_after_ms)
{
    auto at = std::upper_bound(plan.delayed.begin(), plan.delayed.end(), due_ns,
                               [](qint64 due, const FaultPlan::Pending& p) { return due < p.due_ns; });
    plan.delayed.insert(at, FaultPlan::Pending{due_ns, d, copy_after_ms});
}

// Out now, or into the delay queue behind every delayed datagram already
// there; a late copy follows its original by copy_after_ms.
void emit_datagram(FaultPlan& plan, const OutgoingDatagram& d, int copies, qint32 copy_after_ms,
                   qint64 now_ns, std::vector<OutgoingDatagram>& send_now)
{
    const int at_once = copy_after_ms > 0 ? 1 : copies;
    qint64 sent_ns = now_ns;
    if (!delaying(plan.config)) {
        for (int i = 0; i < at_once; ++i)
            send_now.push_back(d);
    } else {
        // Whole ms from the build's nanosecond: never early.
        qint64 due = now_ns + plan.config.delay_ms * NS_PER_MS;
        if (plan.config.jitter_ms > 0)
            due += static_cast<qint64>(plan.rng() % (static_cast<quint64>(plan.config.jitter_ms) + 1)) * NS_PER_MS;
        due = std::max(due, plan.last_delayed_due_ns);  // the order is kept
        plan.last_delayed_due_ns = due;
        OutgoingDatagram late = d;
        late.delayed_ms = static_cast<qint32>((due - now_ns + NS_PER_MS / 2) / NS_PER_MS);
        for (int i = 0; i < at_once; ++i)
            enqueue(plan, due, late, 0);
        sent_ns = due;
    }
    if (copies > at_once)
        enqueue(plan, sent_ns + copy_after_ms * NS_PER_MS, d, copy_after_ms);
}

void send_held_back(FaultPlan& plan, qint64 after_seq, qint64 now_ns,
                    std::vector<OutgoingDatagram>& send_now, std::vector<FaultAction>& actions)
{
    if (!plan.holding_back)
        return;
    plan.holding_back = false;
    act(actions, FaultType::SentLate, plan.held_back, after_seq);
    emit_datagram(plan, plan.held_back, plan.held_back_copies, plan.held_back_copy_ms, now_ns, send_now);
}

}  // namespace

bool fault_config_empty(const FaultConfig& config)
{
    return config.given.isEmpty();
}

bool fault_config_random(const FaultConfig& config)
{
    return any_given(config.loss_pct) || any_given(config.duplicate_pct) ||
           any_given(config.reorder_pct) || any_given(config.corrupt_pct) || config.jitter_ms > 0;
}

bool add_fault(FaultConfig& config, const QString& fault, QString* error)
{
    const int eq = fault.indexOf(QLatin1Char('='));
    const QString name = eq < 0 ? fault : fault.left(eq);
    const QString value = eq < 0 ? QString() : fault.mid(eq + 1);
    QString problem;
    if (eq < 0 || value.isEmpty())
        problem = QStringLiteral("expected NAME=VALUE: loss, drop, duplicate, reorder, delay, corrupt or mute");
    else if (name == QLatin1String("loss"))
        problem = add_percentage(config.loss_pct, value, true);
    else if (name == QLatin1String("duplicate"))
        problem = add_duplicate(config, value);
    else if (name == QLatin1String("reorder"))
        problem = add_percentage(config.reorder_pct, value, false);  // a RELEASE only by name
    else if (name == QLatin1String("corrupt"))
        problem = add_percentage(config.corrupt_pct, value, true);
    else if (name == QLatin1String("drop"))
        problem = add_drop(config, value);
    else if (name == QLatin1String("delay"))
        problem = add_delay(config, value);
    else if (name == QLatin1String("mute"))
        problem = add_mute(config, value);
    else
        problem = QStringLiteral("unknown fault \"%1\": loss, drop, duplicate, reorder, delay, corrupt or mute").arg(name);
    if (!problem.isEmpty()) {
        if (error)
            *error = QStringLiteral("keyline-bench: --fault \"%1\": %2").arg(fault, problem);
        return false;
    }
    config.given << fault;
    return true;
}

void init_fault_plan(FaultPlan& plan, const FaultConfig& config, quint64 seed)
{
    plan = FaultPlan();
    plan.config = config;
    plan.rng.seed(seed);
}

void plan_datagram(FaultPlan& plan, OutgoingDatagram d, qint64 now_ns,
                   std::vector<OutgoingDatagram>& send_now, std::vector<FaultAction>& actions)
{
    const FaultConfig& config = plan.config;
    const int k = index_of(d.kind);
    if (d.kind == InhibitKind::Hold || !plan.in_hold) {
        plan.in_hold = true;
        plan.hold_start_ns = now_ns;
        std::fill(std::begin(plan.count_in_hold), std::end(plan.count_in_hold), 0);
        plan.muted = false;
    }
    const qint32 ordinal = ++plan.count_in_hold[k];
    const bool ends_hold = d.kind == InhibitKind::Release;
    struct EndOfHold {
        FaultPlan& plan;
        bool ends;
        ~EndOfHold()
        {
            if (ends)
                plan.in_hold = false;
        }
    } end_of_hold{plan, ends_hold};

    if (config.mute_ms >= 0 && (plan.muted || now_ns - plan.hold_start_ns >= config.mute_ms * NS_PER_MS)) {
        if (!plan.muted) {
            plan.muted = true;
            ++plan.counts.muted;
            // What was held back belongs to the time before the agent died.
            send_held_back(plan, -1, now_ns, send_now, actions);
            act(actions, FaultType::Muted, d, config.mute_ms);
        }
        return;
    }

    bool dropped = false;
    if (scheduled_drop(config, d.kind, ordinal)) {
        act(actions, FaultType::Dropped, d, -1);
        dropped = true;
    } else if (draw(plan, config.loss_pct[k])) {
        act(actions, FaultType::Lost, d, -1);
        dropped = true;
    }
    if (dropped) {
        ++plan.counts.dropped;
        if (ends_hold)  // nothing more of this hold will come to follow it
            send_held_back(plan, -1, now_ns, send_now, actions);
        return;
    }

    if (draw(plan, config.corrupt_pct[k]) && !d.bytes.isEmpty()) {
        const quint64 bit = plan.rng() % (static_cast<quint64>(d.bytes.size()) * 8);
        d.bytes[static_cast<int>(bit / 8)] = static_cast<char>(d.bytes[static_cast<int>(bit / 8)] ^ (1 << (bit % 8)));
        ++plan.counts.corrupted;
        act(actions, FaultType::Corrupted, d, static_cast<qint64>(bit));
    }
    int copies = 1;
    const qint32 copy_ms = config.duplicate_after_ms[k];
    if (draw(plan, config.duplicate_pct[k])) {
        copies = 2;
        ++plan.counts.duplicated;
        act(actions, FaultType::Duplicated, d, copy_ms > 0 ? copy_ms : -1);
    }
    // Gap 1: the datagram right after a held-back one is never held back
    // itself. A held-back RELEASE waits for the next hold's HOLD.
    if (!plan.holding_back && draw(plan, config.reorder_pct[k])) {
        plan.holding_back = true;
        plan.held_back = d;
        plan.held_back_copies = copies;
        plan.held_back_copy_ms = copy_ms;
        ++plan.counts.reordered;
        act(actions, FaultType::HeldBack, d, -1);
        return;
    }
    emit_datagram(plan, d, copies, copy_ms, now_ns, send_now);
    send_held_back(plan, d.seq, now_ns, send_now, actions);
}

void take_due_datagrams(FaultPlan& plan, qint64 now_ns, std::vector<OutgoingDatagram>& send_now,
                        std::vector<FaultAction>& actions)
{
    while (!plan.delayed.empty() && plan.delayed.front().due_ns <= now_ns) {
        const FaultPlan::Pending& p = plan.delayed.front();
        if (p.copy_after_ms > 0) {
            act(actions, FaultType::CopySent, p.datagram, p.copy_after_ms);
        } else {
            ++plan.counts.delayed;
            act(actions, FaultType::Delayed, p.datagram, p.datagram.delayed_ms);
        }
        send_now.push_back(p.datagram);
        plan.delayed.pop_front();
    }
}

qint64 next_due_ns(const FaultPlan& plan)
{
    return plan.delayed.empty() ? -1 : plan.delayed.front().due_ns;
}

void release_held_back(FaultPlan& plan, qint64 now_ns, std::vector<OutgoingDatagram>& send_now,
                       std::vector<FaultAction>& actions)
{
    send_held_back(plan, -1, now_ns, send_now, actions);
}
