#include "hold/inhibit_sender.h"

#include <QUdpSocket>

#include "common/bench_event.h"
#include "hold/fault_plan.h"
#include "hold/inhibit_payload.h"

void count_inhibit(SendCounters& counters, InhibitKind kind)
{
    switch (kind) {
    case InhibitKind::Hold: ++counters.holds; break;
    case InhibitKind::Keepalive: ++counters.ka; break;
    case InhibitKind::Release: ++counters.rel; break;
    }
}

QString unsent_datagrams_text(const SendCounters& counters)
{
    if (counters.unsent == 0)
        return QString();
    return QStringLiteral("keyline-bench: %1 of %2 datagrams could not be sent")
        .arg(counters.unsent)
        .arg(counters.seq - 1);
}

namespace {

qint64 stamp(const InhibitSender& sender)
{
    return sender.now_ns ? sender.now_ns() : 0;
}

void report_send_failure(InhibitSender& sender, const QString& destination, qint64 at_ns)
{
    BenchEvent event = bench_event_at_ns(BenchEventKind::SendFailed, at_ns);
    event.path = destination;
    event.text = sender.socket->errorString();
    emit_bench_event(sender.events, event);
}

// To the host and every --also destination; a failure at one is reported
// with its name and does not stop the others. A datagram that one of them
// did not get counts as unsent. at_ns: the clock just before the first send.
bool send_everywhere(InhibitSender& sender, const QByteArray& bytes, qint64* at_ns)
{
    *at_ns = stamp(sender);
    const bool named = !sender.also.empty();
    bool failed = false;
    if (sender.socket->writeDatagram(bytes, sender.address, sender.port) < 0) {
        failed = true;
        report_send_failure(sender, named ? sender.host_text + QLatin1Char(':') + QString::number(sender.port)
                                          : QString(), *at_ns);
    }
    for (const SendDestination& d : sender.also) {
        if (sender.socket->writeDatagram(bytes, d.address, d.port) < 0) {
            failed = true;
            report_send_failure(sender, d.text, *at_ns);
        }
    }
    if (failed)
        ++sender.counters.unsent;
    return !failed;
}

// Every datagram that left (or was refused); a datagram the faults kept
// back only moves the hold's level.
void tell_out(InhibitSender& sender, InhibitKind kind, bool hold_active, bool sent, qint64 at_ns)
{
    BenchEvent event = bench_event_at_ns(BenchEventKind::DatagramOut, at_ns);
    event.datagram = kind;
    event.hold_active = hold_active;
    event.sent = sent;
    emit_bench_event(sender.events, event);
}

void send_and_tell(InhibitSender& sender, const OutgoingDatagram& d)
{
    qint64 at_ns = 0;
    const bool sent = send_everywhere(sender, d.bytes, &at_ns);
    tell_out(sender, d.kind, sender.hold_active, sent, at_ns);
}

// The datagram as built and counted: the send log's event.
void tell_built(InhibitSender& sender, InhibitKind kind, qint64 seq, int ttl_ms, const char* note,
                qint64 at_ns)
{
    static constexpr BenchEventKind KINDS[] = {BenchEventKind::HoldSent, BenchEventKind::KeepaliveSent,
                                               BenchEventKind::ReleaseSent};
    BenchEvent event = bench_event_at_ns(KINDS[static_cast<int>(kind)], at_ns);
    event.datagram = kind;
    event.seq = seq;
    event.ttl_ms = ttl_ms;
    event.holds = sender.counters.holds;
    event.ka = sender.counters.ka;
    event.rel = sender.counters.rel;
    event.note = note;
    // The log's "host:port" when the destinations were not set up.
    const QString host_port = sender.destinations_text.isEmpty()
        ? sender.host_text + QLatin1Char(':') + QString::number(sender.port)
        : QString();
    event.to = sender.destinations_text.isEmpty() ? &host_port : &sender.destinations_text;
    emit_bench_event(sender.events, event);
}

void tell_faults(InhibitSender& sender, const std::vector<FaultAction>& actions, qint64 at_ns)
{
    for (const FaultAction& a : actions) {
        BenchEvent event = bench_event_at_ns(BenchEventKind::Fault, at_ns);
        event.fault = a;
        emit_bench_event(sender.events, event);
    }
}

void send_planned(InhibitSender& sender, const std::vector<OutgoingDatagram>& send_now)
{
    for (const OutgoingDatagram& d : send_now)
        send_and_tell(sender, d);
    if (!sender.faults->delayed.empty() && sender.faults_queued)
        sender.faults_queued();
}

// Builds, sends and tells one datagram; returns the time it was stamped with.
qint64 send_one(InhibitSender& sender, bool hold_active, int ttl_ms, bool keepalive, const char* note)
{
    // Every datagram that gets here uses up its number, sent or not.
    const qint64 seq = sender.counters.seq++;
    const QByteArray payload =
        inhibit_payload(ttl_ms, sender.station_body, sender.band_body, seq);
    const InhibitKind kind = inhibit_kind(ttl_ms, keepalive);
    sender.hold_active = hold_active;

    if (sender.faults == nullptr && sender.also.empty()) {
        // Out first: nothing is said before the datagram has left.
        const qint64 at_ns = stamp(sender);
        const bool sent = sender.socket->writeDatagram(payload, sender.address, sender.port) >= 0;
        count_inhibit(sender.counters, kind);
        tell_built(sender, kind, seq, ttl_ms, note, at_ns);
        tell_out(sender, kind, hold_active, sent, at_ns);
        if (!sent) {
            ++sender.counters.unsent;
            report_send_failure(sender, QString(), at_ns);
        }
        return at_ns;
    }
    if (sender.faults == nullptr) {
        qint64 at_ns = 0;
        const bool sent = send_everywhere(sender, payload, &at_ns);
        count_inhibit(sender.counters, kind);
        tell_built(sender, kind, seq, ttl_ms, note, at_ns);
        tell_out(sender, kind, hold_active, sent, at_ns);
        return at_ns;
    }

    // The faults act once the datagram is built, its number used up and its
    // line said; their lines follow it.
    const qint64 now_ns = stamp(sender);
    count_inhibit(sender.counters, kind);
    tell_built(sender, kind, seq, ttl_ms, note, now_ns);
    std::vector<OutgoingDatagram> send_now;
    std::vector<FaultAction> actions;
    OutgoingDatagram built;
    built.bytes = payload;
    built.kind = kind;
    built.seq = seq;
    plan_datagram(*sender.faults, built, now_ns, send_now, actions);
    tell_faults(sender, actions, now_ns);
    if (send_now.empty())
        tell_out(sender, kind, hold_active, false, now_ns);
    send_planned(sender, send_now);
    return now_ns;
}

}  // namespace

void send_inhibit(InhibitSender& sender, bool hold_active, int ttl_ms, bool keepalive,
                  const char* note)
{
    // A keepalive that outlived its hold must not announce one.
    if (keepalive && !hold_active)
        return;
    const qint64 at_ns = send_one(sender, hold_active, ttl_ms, keepalive, note);
    // Everything this datagram brought (its faults, its sends, a failed
    // send) has been told: what follows a datagram comes after all of it.
    BenchEvent told = bench_event_at_ns(BenchEventKind::DatagramTold, at_ns);
    told.datagram = inhibit_kind(ttl_ms, keepalive);
    told.note = note;
    emit_bench_event(sender.events, told);
}

void send_due_faults(InhibitSender& sender)
{
    if (sender.faults == nullptr)
        return;
    std::vector<OutgoingDatagram> send_now;
    std::vector<FaultAction> actions;
    const qint64 now_ns = stamp(sender);
    take_due_datagrams(*sender.faults, now_ns, send_now, actions);
    tell_faults(sender, actions, now_ns);
    for (const OutgoingDatagram& d : send_now)
        send_and_tell(sender, d);
}

void release_held_back_fault(InhibitSender& sender)
{
    if (sender.faults == nullptr)
        return;
    std::vector<OutgoingDatagram> send_now;
    std::vector<FaultAction> actions;
    const qint64 now_ns = stamp(sender);
    release_held_back(*sender.faults, now_ns, send_now, actions);
    tell_faults(sender, actions, now_ns);
    send_planned(sender, send_now);
}
