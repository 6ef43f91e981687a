#include "hold/inhibit_sender.h"

#include <QTextStream>
#include <QUdpSocket>

#include "hold/bench_log.h"
#include "hold/fault_plan.h"
#include "hold/inhibit_payload.h"
#include "common/log_line.h"

InhibitKind inhibit_kind(int ttl_ms, bool keepalive)
{
    if (ttl_ms == 0)
        return InhibitKind::Release;
    return keepalive ? InhibitKind::Keepalive : InhibitKind::Hold;
}

const char* inhibit_label(InhibitKind kind)
{
    switch (kind) {
    case InhibitKind::Hold: return "HOLD";
    case InhibitKind::Keepalive: return "KEEPALIVE";
    case InhibitKind::Release: return "RELEASE";
    }
    return "";
}

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

QString send_log_text(InhibitKind kind, int ttl_ms, const QString& host_text, quint16 port,
                      const SendCounters& counters, const char* note)
{
    return send_log_text(kind, ttl_ms, host_text + QLatin1Char(':') + QString::number(port), counters,
                         note);
}

QString send_log_text(InhibitKind kind, int ttl_ms, const QString& destinations,
                      const SendCounters& counters, const char* note)
{
    // Plain concatenation: the host text may hold a '%' (an IPv6 zone such as
    // "fe80::1%2"), which chained arg() calls would substitute.
    QString text;
    text.reserve(96);
    text += QStringLiteral("  ") + QLatin1String(inhibit_label(kind));
    text += QStringLiteral("  ttl_ms=") + QString::number(ttl_ms);
    text += QStringLiteral("  -> ") + destinations;
    text += QStringLiteral("  (holds=") + QString::number(counters.holds);
    text += QStringLiteral(" ka=") + QString::number(counters.ka);
    text += QStringLiteral(" rel=") + QString::number(counters.rel) + QLatin1Char(')');
    // Only a RELEASE says why the hold ended.
    if (kind == InhibitKind::Release && note != nullptr && note[0] != '\0')
        text += QStringLiteral("  (") + QString::fromUtf8(note) + QLatin1Char(')');
    return text;
}

const char* inhibit_event_name(InhibitKind kind)
{
    switch (kind) {
    case InhibitKind::Hold: return "hold";
    case InhibitKind::Keepalive: return "keepalive";
    case InhibitKind::Release: return "release";
    }
    return "";
}

void send_log_json(JsonLine& line, qint64 seq, int ttl_ms, const QString& destinations,
                   const SendCounters& counters, InhibitKind kind, const char* note)
{
    line.number("seq", seq);
    line.number("ttl_ms", ttl_ms);
    add_text(line, "to", destinations);
    line.number("holds", counters.holds);
    line.number("ka", counters.ka);
    line.number("rel", counters.rel);
    if (kind == InhibitKind::Release && note != nullptr && note[0] != '\0')
        add_text(line, "note", QString::fromUtf8(note));
}

namespace {

void report_send_failure(InhibitSender& sender, const QString& destination)
{
    if (sender.err == nullptr)
        return;
    if (destination.isEmpty())
        *sender.err << "send failed: " << sender.socket->errorString() << '\n';
    else
        *sender.err << "send failed to " << destination << ": " << sender.socket->errorString() << '\n';
    sender.err->flush();
}

qint64 stamp(const InhibitSender& sender)
{
    return sender.now_ns ? sender.now_ns() : 0;
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
                                          : QString());
    }
    for (const SendDestination& d : sender.also) {
        if (sender.socket->writeDatagram(bytes, d.address, d.port) < 0) {
            failed = true;
            report_send_failure(sender, d.text);
        }
    }
    if (failed)
        ++sender.counters.unsent;
    return !failed;
}

// The waveform hears of every datagram that left (or was refused); a
// datagram the faults kept back only moves the hold's level.
void tell_sent(InhibitSender& sender, InhibitKind kind, bool sent, qint64 at_ns)
{
    if (sender.on_send)
        sender.on_send(kind, sender.hold_active, sent, at_ns);
}

void send_and_tell(InhibitSender& sender, const OutgoingDatagram& d)
{
    qint64 at_ns = 0;
    const bool sent = send_everywhere(sender, d.bytes, &at_ns);
    tell_sent(sender, d.kind, sent, at_ns);
}

// The send log line of a datagram, as text or as a JSON line.
void log_send(InhibitSender& sender, InhibitKind kind, qint64 seq, int ttl_ms, const char* note)
{
    if (kind == InhibitKind::Keepalive && !sender.verbose_keepalive)
        return;
    // Built only for a line that is written: most keepalives are not.
    const QString destinations = sender.also.empty()
        ? sender.host_text + QLatin1Char(':') + QString::number(sender.port)
        : sender.destinations_text;
    if (sender.json != nullptr) {
        JsonLine line = bench_event(*sender.json, inhibit_event_name(kind));
        send_log_json(line, seq, ttl_ms, destinations, sender.counters, kind, note);
        write_bench_event(*sender.json, line);
    } else if (sender.out != nullptr) {
        write_log_line(*sender.out, send_log_text(kind, ttl_ms, destinations, sender.counters, note));
    }
}

void log_faults(InhibitSender& sender, const std::vector<FaultAction>& actions)
{
    for (const FaultAction& a : actions) {
        if (sender.json != nullptr) {
            JsonLine line = bench_event(*sender.json, "fault");
            fault_json(line, a);
            write_bench_event(*sender.json, line);
        } else if (sender.out != nullptr) {
            write_log_line(*sender.out, fault_log_text(a));
        }
    }
}

void send_planned(InhibitSender& sender, const std::vector<OutgoingDatagram>& send_now)
{
    for (const OutgoingDatagram& d : send_now)
        send_and_tell(sender, d);
    if (!sender.faults->delayed.empty() && sender.faults_queued)
        sender.faults_queued();
}

}  // namespace

void send_inhibit(InhibitSender& sender, bool hold_active, int ttl_ms, bool keepalive,
                  const char* note)
{
    // A keepalive that outlived its hold must not announce one.
    if (keepalive && !hold_active)
        return;

    // Every datagram that gets here uses up its number, sent or not.
    const qint64 seq = sender.counters.seq++;
    const QByteArray payload =
        inhibit_payload(ttl_ms, sender.station_body, sender.band_body, seq);
    const InhibitKind kind = inhibit_kind(ttl_ms, keepalive);

    if (sender.faults == nullptr && sender.also.empty()) {
        const qint64 at_ns = stamp(sender);
        const qint64 written = sender.socket->writeDatagram(payload, sender.address, sender.port);
        count_inhibit(sender.counters, kind);
        log_send(sender, kind, seq, ttl_ms, note);
        if (sender.on_send)
            sender.on_send(kind, hold_active, written >= 0, at_ns);
        if (written < 0) {
            ++sender.counters.unsent;
            report_send_failure(sender, QString());
        }
        return;
    }

    // The faults act once the datagram is built and its number used up.
    sender.hold_active = hold_active;
    std::vector<OutgoingDatagram> send_now;
    std::vector<FaultAction> actions;
    if (sender.faults != nullptr) {
        OutgoingDatagram built;
        built.bytes = payload;
        built.kind = kind;
        built.seq = seq;
        const qint64 now_ns = stamp(sender);
        plan_datagram(*sender.faults, built, now_ns, send_now, actions);
        if (send_now.empty())
            tell_sent(sender, kind, false, now_ns);
        send_planned(sender, send_now);
    } else {
        OutgoingDatagram built;
        built.bytes = payload;
        built.kind = kind;
        send_and_tell(sender, built);
    }
    count_inhibit(sender.counters, kind);
    log_send(sender, kind, seq, ttl_ms, note);
    log_faults(sender, actions);
}

void send_due_faults(InhibitSender& sender)
{
    if (sender.faults == nullptr)
        return;
    std::vector<OutgoingDatagram> send_now;
    std::vector<FaultAction> actions;
    take_due_datagrams(*sender.faults, stamp(sender), send_now, actions);
    for (const OutgoingDatagram& d : send_now)
        send_and_tell(sender, d);
    log_faults(sender, actions);
}

void release_held_back_fault(InhibitSender& sender)
{
    if (sender.faults == nullptr)
        return;
    std::vector<OutgoingDatagram> send_now;
    std::vector<FaultAction> actions;
    release_held_back(*sender.faults, stamp(sender), send_now, actions);
    send_planned(sender, send_now);
    log_faults(sender, actions);
}
