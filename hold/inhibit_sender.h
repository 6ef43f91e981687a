#pragma once
// send_inhibit: the one place that builds, sends, counts and logs a datagram.

#include <QByteArray>
#include <QHostAddress>
#include <QString>

class QTextStream;
class QUdpSocket;
struct BenchLog;
struct JsonLine;

struct SendCounters {
    qint64 seq = 1;   // sequence number of the next datagram
    qint32 holds = 0;
    qint32 ka = 0;
    qint32 rel = 0;
};

enum class InhibitKind { Hold, Keepalive, Release };
InhibitKind inhibit_kind(int ttl_ms, bool keepalive);
const char* inhibit_label(InhibitKind kind);

// Advances the counter of the kind.
void count_inhibit(SendCounters& counters, InhibitKind kind);

// The text of a send log line after the time stamp, without the line feed:
// "  HOLD  ttl_ms=600  -> 127.0.0.1:22372  (holds=1 ka=0 rel=0)" and, on a
// RELEASE with a non-empty note, "  (note)".
QString send_log_text(InhibitKind kind, int ttl_ms, const QString& host_text, quint16 port,
                      const SendCounters& counters, const char* note);

// The same line's fields as a JSON line ("hold", "keepalive" or "release"
// with seq, ttl_ms, to, the counters and, on a RELEASE, the note).
void send_log_json(JsonLine& line, qint64 seq, int ttl_ms, const QString& host_text, quint16 port,
                   const SendCounters& counters, InhibitKind kind, const char* note);
const char* inhibit_event_name(InhibitKind kind);  // "hold", "keepalive", "release"

// Where and what to send; filled once at start-up.
struct InhibitSender {
    QUdpSocket* socket = nullptr;
    QHostAddress address;      // from the host text, checked numeric at start-up
    QString host_text;         // as typed, for the log
    quint16 port = 0;
    QByteArray station_body;   // json_string_body(station)
    QByteArray band_body;      // json_string_body(band)
    bool verbose_keepalive = false;
    QTextStream* out = nullptr;
    const BenchLog* json = nullptr;  // set: the send log is JSON lines there instead of text on out
    QTextStream* err = nullptr;
    SendCounters counters;
};

// A keepalive while no hold is active does nothing at all. Otherwise: uses
// up a sequence number, sends, counts, logs (KEEPALIVE only when verbose),
// and reports "send failed: <error>" on err when the send fails.
void send_inhibit(InhibitSender& sender, bool hold_active, int ttl_ms, bool keepalive,
                  const char* note);
