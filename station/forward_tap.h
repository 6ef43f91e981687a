#pragma once
// The tap: every datagram received goes on, unchanged, to a real station,
// before it is checked, so nothing the checker does can delay or lose it.
//
// Each stream forwards from a socket of its own, so the real station still
// tells the senders apart. A stream's socket is made at its first valid
// datagram and lives as long as the stream: it is closed only when the
// checker says the stream is gone (evicted, or refused a place), never to
// make room. A sender that is not a stream (nothing it sent was valid) takes
// no socket: its datagrams go on from one socket shared by all such senders.
// A datagram that comes from the forward target itself, or from one of the
// tap's own sockets, has come back round and is not sent on again.

#include <QHostAddress>
#include <QString>
#include <QtGlobal>

#include <unordered_map>
#include <unordered_set>

#include "station/sender_id.h"

struct ForwardTap {
    QHostAddress address;
    quint16 port = 0;
    QString text;  // "127.0.0.1:22400", "[::1]:22400"
    SenderId target;  // address and port as a sender would show them

    struct Socket {
        int fd = -1;
        qint64 last_serial = 0;      // the last datagram sent from it
        qint64 last_report_ms = -1;  // a failure is reported at most once a second
    };
    std::unordered_map<SenderId, Socket, SenderIdHash> sockets;  // streams
    Socket shared;                                              // for senders that are not streams
    std::unordered_set<SenderId, SenderIdHash> own;  // where the tap's sockets send from
    int max_sockets = 0;  // beyond this a stream goes on from the shared socket (and it is an error)
    qint64 serial = 0;    // datagrams forwarded so far
};

// What became of one datagram.
struct ForwardOutcome {
    bool came_back = false;  // from the target or the tap itself: not sent on
    bool own_socket = false; // sent from the stream's own socket
    int error = 0;           // errno of a failed send; NO_OWN_SOCKET; 0
    bool report = false;     // the failure is to be reported (at most once a second per socket)
    qint64 serial = 0;       // this datagram's number (for forget_forward)
};

constexpr int NO_OWN_SOCKET = -1;

// Sends one datagram on at once. A sender with a socket sends from it; one
// without gets its own if this datagram is a valid inhibit payload (it is a
// stream from now on), else sends from the shared socket. now_ms (station
// clock) limits how often a failure is reported.
ForwardOutcome forward_datagram(ForwardTap& tap, const SenderId& sender, const char* data, int size,
                                qint64 now_ms);

// The checker no longer has sender as a stream, as of the datagram numbered
// upto: its socket is closed, unless the sender has sent a datagram through
// it since (it may be a stream again).
void forget_forward(ForwardTap& tap, const SenderId& sender, qint64 upto);

void close_forward_tap(ForwardTap& tap);

// The text of a failure (strerror, or what NO_OWN_SOCKET means).
QString forward_error_text(int error);

// True when datagrams sent to target would reach the socket bound to
// bind_address and bound_port: a tap forwarding there would feed itself.
bool forward_reaches_itself(const QHostAddress& bind_address, quint16 bound_port,
                            const QHostAddress& target, quint16 target_port);

// The same address and port, an IPv4-mapped IPv6 address taken as IPv4.
bool same_endpoint(const SenderId& a, const SenderId& b);
