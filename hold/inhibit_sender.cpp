#include "hold/inhibit_sender.h"

#include <QTextStream>
#include <QUdpSocket>

#include "hold/bench_log.h"
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

QString send_log_text(InhibitKind kind, int ttl_ms, const QString& host_text, quint16 port,
                      const SendCounters& counters, const char* note)
{
    // Plain concatenation: the host text may hold a '%' (an IPv6 zone such as
    // "fe80::1%2"), which chained arg() calls would substitute.
    QString text;
    text.reserve(96);
    text += QStringLiteral("  ") + QLatin1String(inhibit_label(kind));
    text += QStringLiteral("  ttl_ms=") + QString::number(ttl_ms);
    text += QStringLiteral("  -> ") + host_text + QLatin1Char(':') + QString::number(port);
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

void send_log_json(JsonLine& line, qint64 seq, int ttl_ms, const QString& host_text, quint16 port,
                   const SendCounters& counters, InhibitKind kind, const char* note)
{
    line.number("seq", seq);
    line.number("ttl_ms", ttl_ms);
    add_text(line, "to", host_text + QLatin1Char(':') + QString::number(port));
    line.number("holds", counters.holds);
    line.number("ka", counters.ka);
    line.number("rel", counters.rel);
    if (kind == InhibitKind::Release && note != nullptr && note[0] != '\0')
        add_text(line, "note", QString::fromUtf8(note));
}

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
    const qint64 written = sender.socket->writeDatagram(payload, sender.address, sender.port);

    const InhibitKind kind = inhibit_kind(ttl_ms, keepalive);
    count_inhibit(sender.counters, kind);

    if (kind != InhibitKind::Keepalive || sender.verbose_keepalive) {
        if (sender.json != nullptr) {
            JsonLine line = bench_event(*sender.json, inhibit_event_name(kind));
            send_log_json(line, seq, ttl_ms, sender.host_text, sender.port, sender.counters, kind, note);
            write_bench_event(*sender.json, line);
        } else if (sender.out != nullptr) {
            write_log_line(*sender.out, send_log_text(kind, ttl_ms, sender.host_text, sender.port,
                                                      sender.counters, note));
        }
    }

    if (written < 0 && sender.err != nullptr) {
        *sender.err << "send failed: " << sender.socket->errorString() << '\n';
        sender.err->flush();
    }
}
