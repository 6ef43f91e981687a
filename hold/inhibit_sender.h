#pragma once
// send_inhibit: the one place that builds, sends and counts a datagram, and tells its events.

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include "common/inhibit_kind.h"

#include <functional>
#include <vector>

class QUdpSocket;
struct BenchEvents;
struct FaultPlan;

struct SendCounters {
    qint64 seq = 1;   // sequence number of the next datagram
    qint32 holds = 0;
    qint32 ka = 0;
    qint32 rel = 0;
    qint64 unsent = 0;  // datagrams the socket refused
};

// Advances the counter of the kind.
void count_inhibit(SendCounters& counters, InhibitKind kind);

// "keyline-bench: N of M datagrams could not be sent", or an empty text when
// every datagram went out.
QString unsent_datagrams_text(const SendCounters& counters);

// One more place every datagram goes (--also).
struct SendDestination {
    QHostAddress address;
    quint16 port = 0;
    QString text;  // "127.0.0.1:22400", "[::1]:22400"
};
// Where and what to send; filled once at start-up.
struct InhibitSender {
    QUdpSocket* socket = nullptr;
    QHostAddress address;      // from the host text, checked numeric at start-up
    QString host_text;         // as typed, for the log
    quint16 port = 0;
    QByteArray station_body;   // json_string_body(station)
    QByteArray band_body;      // json_string_body(band)
    BenchEvents* events = nullptr;  // every datagram built, sent or refused, and every fault
    SendCounters counters;

    // Every datagram also goes to these, in the same order (none: as before).
    std::vector<SendDestination> also;
    QString destinations_text;  // the log's "host:port, ..."; made from the host when empty

    // Faults on purpose; null: every datagram goes out as built.
    FaultPlan* faults = nullptr;
    qint64 (*now_ns)() = nullptr;          // the plan's clock and the send stamps (monotonic ns)
    std::function<void()> faults_queued;   // a delayed datagram waits: aim the timer
    bool hold_active = false;              // after the latest datagram built
};

// A keepalive while no hold is active does nothing at all. Otherwise: uses
// up a sequence number, sends, counts, and tells the events: the datagram
// built, each one that left or was refused, each fault, each failed send.
void send_inhibit(InhibitSender& sender, bool hold_active, int ttl_ms, bool keepalive,
                  const char* note);

// Sends the delayed datagrams that are due now, each with its fault event.
void send_due_faults(InhibitSender& sender);
// At quit: a held-back datagram goes out (or joins the delay queue) now.
void release_held_back_fault(InhibitSender& sender);
