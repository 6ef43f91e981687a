#include "report/bench_text.h"

#include <QTextStream>

#include "common/log_line.h"
#include "report/bench_lines.h"

namespace {

void line(QTextStream* stream, const QString& text)
{
    if (stream)
        write_log_line(*stream, text);
}

QString key_open_text(const BenchEvent& e)
{
    const QLatin1String key_class(e.key_class);
    if (e.hang_ms == 0)
        return QStringLiteral("  KEY OPEN   hang=0  (") + key_class + QLatin1Char(')');
    QString text = QStringLiteral("  KEY OPEN   hang=") + QString::number(e.hang_ms) +
                   QStringLiteral(" ms  class=") + key_class;
    if (e.dit_ms > 0.0) {
        text += QStringLiteral("  dit~") + QString::number(static_cast<qint64>(e.dit_ms + 0.5)) +
                QStringLiteral(" ms  ~") + QString::number(static_cast<qint64>(1200.0 / e.dit_ms + 0.5)) +
                QStringLiteral(" WPM");
    }
    return text;
}

void sent_line(BenchText& t, const BenchEvent& e)
{
    if (e.datagram == InhibitKind::Keepalive && !t.verbose_keepalive)
        return;
    SendCounters counters;
    counters.holds = e.holds;
    counters.ka = e.ka;
    counters.rel = e.rel;
    line(t.out, send_log_text(e.datagram, e.ttl_ms, e.to ? *e.to : QString(), counters, e.note));
}

void send_failed(BenchText& t, const BenchEvent& e)
{
    if (!t.err)
        return;
    if (e.path.isEmpty())
        *t.err << "send failed: " << e.text << '\n';
    else
        *t.err << "send failed to " << e.path << ": " << e.text << '\n';
    t.err->flush();
}

}  // namespace

void bench_text_take(void* self, const BenchEvent& e)
{
    BenchText& t = *static_cast<BenchText*>(self);
    if (e.kind == BenchEventKind::SendFailed) {
        send_failed(t, e);
        return;
    }
    if (!t.lines)
        return;
    switch (e.kind) {
    case BenchEventKind::Start:
        if (t.out) {
            *t.out << e.text;
            t.out->flush();
        }
        break;
    case BenchEventKind::KeyAssert:
        line(t.out, QStringLiteral("  KEY ASSERT  class=") + QLatin1String(e.key_class));
        break;
    case BenchEventKind::KeyOpen: line(t.out, key_open_text(e)); break;
    case BenchEventKind::HoldSent:
    case BenchEventKind::KeepaliveSent:
    case BenchEventKind::ReleaseSent: sent_line(t, e); break;
    case BenchEventKind::Fault: line(t.out, fault_log_text(e.fault)); break;
    case BenchEventKind::FaultCounts:
        if (t.out) {
            *t.out << fault_counts_text(e.counts) << '\n';
            t.out->flush();
        }
        break;
    case BenchEventKind::KeyboardLost:
        line(t.err, QStringLiteral("  keyboard lost: %1 (%2); the KEY reads as up until a keyboard is found")
                        .arg(e.path, e.text));
        break;
    case BenchEventKind::KeyboardFound: line(t.err, QStringLiteral("  keyboard found: %1").arg(e.path)); break;
    case BenchEventKind::KeySourceLost:
        line(t.err, QStringLiteral("  KEY source lost: %1 (%2); the KEY keeps its last level until %3")
                        .arg(e.path, e.text, QLatin1String(e.note ? e.note : "it is back")));
        break;
    case BenchEventKind::KeySourceFound: line(t.err, QStringLiteral("  KEY source found: %1").arg(e.path)); break;
    case BenchEventKind::FellBehind:
        line(t.out, QStringLiteral("  keying fell behind by %1 ms").arg(e.count));
        break;
    case BenchEventKind::Decoded: line(t.out, QStringLiteral("  ") + e.text); break;
    case BenchEventKind::Quit:
        if (t.out) {
            *t.out << "quit\n";
            t.out->flush();
        }
        break;
    default: break;  // edges, the latch, datagrams out: not in the text log
    }
}

BenchSink bench_text_sink(BenchText& text)
{
    return BenchSink{&text, bench_text_take};
}
