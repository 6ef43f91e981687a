#include "report/bench_lines.h"

#include "common/json_line.h"
#include "common/text_escape.h"

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

void send_log_json(JsonLine& line, qint64 seq, int ttl_ms, const QString& destinations,
                   const SendCounters& counters, InhibitKind kind, const char* note)
{
    line.number("seq", seq);
    line.number("ttl_ms", ttl_ms);
    line.text("to", escape_text(destinations));
    line.number("holds", counters.holds);
    line.number("ka", counters.ka);
    line.number("rel", counters.rel);
    if (kind == InhibitKind::Release && note != nullptr && note[0] != '\0')
        line.text("note", escape_text(QString::fromUtf8(note)));
}


QString fault_log_text(const FaultAction& a)
{
    const QString what = QLatin1String(inhibit_label(a.kind)) + QStringLiteral(" seq=") + QString::number(a.seq);
    switch (a.type) {
    case FaultType::Dropped: return QStringLiteral("  FAULT  dropped ") + what;
    case FaultType::Lost: return QStringLiteral("  FAULT  dropped ") + what + QStringLiteral(" (loss)");
    case FaultType::Duplicated:
        if (a.value > 0)
            return QStringLiteral("  FAULT  duplicated ") + what + QStringLiteral(" (the copy ") +
                   QString::number(a.value) + QStringLiteral(" ms later)");
        return QStringLiteral("  FAULT  duplicated ") + what;
    case FaultType::CopySent:
        return QStringLiteral("  FAULT  sent the copy of ") + what + QStringLiteral(" (") +
               QString::number(a.value) + QStringLiteral(" ms after it)");
    case FaultType::HeldBack: return QStringLiteral("  FAULT  held back ") + what + QStringLiteral(" (reorder)");
    case FaultType::SentLate:
        if (a.value >= 0)
            return QStringLiteral("  FAULT  sent ") + what + QStringLiteral(" after seq=") +
                   QString::number(a.value) + QStringLiteral(" (reorder)");
        return QStringLiteral("  FAULT  sent ") + what + QStringLiteral(" late, nothing followed it (reorder)");
    case FaultType::Corrupted:
        return QStringLiteral("  FAULT  corrupted ") + what + QStringLiteral(" (bit ") + QString::number(a.value) +
               QLatin1Char(')');
    case FaultType::Delayed:
        return QStringLiteral("  FAULT  delayed ") + what + QStringLiteral(" (") + QString::number(a.value) +
               QStringLiteral(" ms)");
    case FaultType::Muted: return QStringLiteral("  FAULT  muted after ") + QString::number(a.value) + QStringLiteral(" ms");
    }
    return QString();
}

void fault_json(JsonLine& line, const FaultAction& a)
{
    const char* action = "";
    const char* figure = nullptr;
    switch (a.type) {
    case FaultType::Dropped: action = "dropped"; break;
    case FaultType::Lost: action = "lost"; break;
    case FaultType::Duplicated: action = "duplicated"; figure = "copy_after_ms"; break;
    case FaultType::CopySent: action = "copy_sent"; figure = "after_ms"; break;
    case FaultType::HeldBack: action = "held_back"; break;
    case FaultType::SentLate: action = "sent_late"; figure = "after_seq"; break;
    case FaultType::Corrupted: action = "corrupted"; figure = "bit"; break;
    case FaultType::Delayed: action = "delayed"; figure = "delay_ms"; break;
    case FaultType::Muted: action = "muted"; figure = "after_ms"; break;
    }
    line.text("action", QLatin1String(action));
    if (a.type != FaultType::Muted) {
        line.text("datagram", QLatin1String(inhibit_label(a.kind)));
        line.number("seq", a.seq);
    }
    if (figure != nullptr && a.value >= 0 && !(a.type == FaultType::Duplicated && a.value == 0))
        line.number(figure, a.value);
}

void fault_counts_json(JsonLine& line, const FaultCounts& c)
{
    line.number("dropped", c.dropped);
    line.number("duplicated", c.duplicated);
    line.number("reordered", c.reordered);
    line.number("corrupted", c.corrupted);
    line.number("delayed", c.delayed);
    line.number("muted", c.muted);
}

QString fault_counts_text(const FaultCounts& c)
{
    return QStringLiteral("faults: dropped %1, duplicated %2, reordered %3, corrupted %4, delayed %5, muted %6")
        .arg(c.dropped)
        .arg(c.duplicated)
        .arg(c.reordered)
        .arg(c.corrupted)
        .arg(c.delayed)
        .arg(c.muted);
}

