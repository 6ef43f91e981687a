#pragma once
// send_inhibit: the one place that builds, sends, counts and logs a datagram.

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <functional>
#include <vector>

class QTextStream;
class QUdpSocket;
struct FaultPlan;
struct OutgoingDatagram;
struct BenchLog;
struct JsonLine;

struct SendCounters {
    qint64 seq = 1;   // sequence number of the next datagram
    qint32 holds = 0;
    qint32 ka = 0;
    qint32 rel = 0;
    qint64 unsent = 0;  // datagrams the socket refused
};

enum class InhibitKind { Hold, Keepalive, Release };
InhibitKind inhibit_kind(int ttl_ms, bool keepalive);
const char* inhibit_label(InhibitKind kind);

// Advances the counter of the kind.
void count_inhibit(SendCounters& counters, InhibitKind kind);

// "keyline-bench: N of M datagrams could not be sent", or an empty text when
// every datagram went out.
QString unsent_datagrams_text(const SendCounters& counters);

// The text of a send log line after the time stamp, without the line feed:
// "  HOLD  ttl_ms=600  -> 127.0.0.1:22372  (holds=1 ka=0 rel=0)" and, on a
// RELEASE with a non-empty note, "  (note)".
QString send_log_text(InhibitKind kind, int ttl_ms, const QString& host_text, quint16 port,
                      const SendCounters& counters, const char* note);

// The send log line's text with the destinations already joined, e.g.
// "127.0.0.1:22372, 127.0.0.1:22400" (the overload above passes "host:port").
QString send_log_text(InhibitKind kind, int ttl_ms, const QString& destinations,
                      const SendCounters& counters, const char* note);

// One more place every datagram goes (--also).
struct SendDestination {
    QHostAddress address;
    quint16 port = 0;
    QString text;  // "127.0.0.1:22400", "[::1]:22400"
};
// The same line's fields as a JSON line ("hold", "keepalive" or "release"
// with seq, ttl_ms, to, the counters and, on a RELEASE, the note).
void send_log_json(JsonLine& line, qint64 seq, int ttl_ms, const QString& destinations,
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

    // Every datagram also goes to these, in the same order (none: as before).
    std::vector<SendDestination> also;
    QString destinations_text;  // the log's "host:port, ..." when also is not empty

    // Faults on purpose; null: every datagram goes out as built.
    FaultPlan* faults = nullptr;
    qint64 (*now_ns)() = nullptr;          // the plan's clock and the send stamps (monotonic ns)
    std::function<void()> faults_queued;   // a delayed datagram waits: aim the timer
    bool hold_active = false;              // after the latest datagram built
    // Told of every datagram once it is sent or refused (the waveform); may
    // be empty. hold_active is the hold after it; at_ns the clock read just
    // before the send call.
    std::function<void(InhibitKind kind, bool hold_active, bool sent, qint64 at_ns)> on_send;
};

// A keepalive while no hold is active does nothing at all. Otherwise: uses
// up a sequence number, sends, counts, logs (KEEPALIVE only when verbose),
// and reports "send failed: <error>" on err when the send fails.
void send_inhibit(InhibitSender& sender, bool hold_active, int ttl_ms, bool keepalive,
                  const char* note);

// Sends the delayed datagrams that are due now, each with its FAULT line.
void send_due_faults(InhibitSender& sender);
// At quit: a held-back datagram goes out (or joins the delay queue) now.
void release_held_back_fault(InhibitSender& sender);
