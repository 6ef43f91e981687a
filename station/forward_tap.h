#pragma once
// The tap: every datagram received goes on, unchanged, to a real station,
// before it is checked, so nothing the checker does can delay or lose it.
// Each stream forwards from a socket of its own, so the real station still
// tells the senders apart; the sockets follow the stream cap.

#include <QHostAddress>
#include <QString>
#include <QtGlobal>

#include <unordered_map>

#include "station/sender_id.h"
#include "station/station_event.h"

struct StreamTable;

struct ForwardTap {
    QHostAddress address;
    quint16 port = 0;
    QString text;  // "127.0.0.1:22400", "[::1]:22400"

    struct Socket {
        int fd = -1;
        qint64 last_used_ms = 0;
        qint64 last_report_ms = -1;  // a failure is reported at most once a second
    };
    std::unordered_map<SenderId, Socket, SenderIdHash> sockets;
    int max_sockets = 0;  // the stream cap
    qint64 errors = 0;
};

// Sends one datagram on from sender's own socket (made on its first
// datagram, connected to the destination, never blocking). A failure is
// counted and, at most once a second per stream, reported as an event.
void forward_datagram(ForwardTap& tap, const SenderId& sender, qint64 arrival_ms, const char* data,
                      int size, StationEvents& events);

// Closes the sockets of the streams the table has evicted (keep: the sender
// just heard, which may not be a stream yet).
void close_evicted_forwards(ForwardTap& tap, const StreamTable& table, const SenderId& keep);

void close_forward_tap(ForwardTap& tap);
