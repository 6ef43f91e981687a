#pragma once
// The tap's own thread: it sleeps in the receive call on the station's
// socket, sends each datagram on at once (forward_tap.h), then puts its
// arrival on the station's clock (the kernel's stamp, in queue order) and
// hands it to the checker through a queue neither thread waits on. The
// checker tells it, the same way, which streams are gone.
//
// To know it has everything the kernel queued before a moment, the checker
// sends a marker datagram to the station's own port from a socket of its
// own: the queue keeps its order, so what comes before the marker is all
// that came before it.

#include <QHostAddress>
#include <QString>

#include <atomic>
#include <thread>
#include <vector>

#include "station/forward_tap.h"
#include "station/forward_tap_queue.h"
#include "station/sender_id.h"

struct TapRecord {
    enum Kind : quint8 { Datagram, CameBack, Marker };
    Kind kind = Datagram;
    bool own_socket = false;  // Datagram: forwarded from its stream's own socket
    bool report = false;      // Datagram: a failure to be reported
    int error = 0;            // Datagram: 0, an errno or NO_OWN_SOCKET
    SenderId sender;
    qint64 arrival_ms = -1;   // station clock, queue order
    qint64 kernel_drops = 0;  // as the kernel said with this datagram
    qint64 serial = 0;        // Datagram: the forward's number; Marker: the marker's
};

struct ForwardThread {
    int fd = -1;            // the station's receive socket
    int wake_fd = -1;       // eventfd: something was handed over
    int marker_fd = -1;     // the checker's socket that sends markers
    SenderId marker_from;   // where markers come from
    qint64 markers_sent = 0;
    ForwardTap tap;         // the thread's alone once started

    HandoverQueue records{8 << 20};  // thread -> checker
    HandoverQueue gone{1 << 20};     // checker -> thread: streams no longer tracked
    std::atomic<bool> stop{false};
    std::atomic<qint64> unchecked{0};  // forwarded but not handed over: the queue was full
    std::thread thread;
};

// Starts the thread on fd (bound to bind_address), which becomes blocking.
// False with error when it cannot start.
bool start_forward_thread(ForwardThread& t, int fd, const QHostAddress& bind_address, QString& error);

// The next record handed over, its data copied into data; false when none
// is waiting.
bool take_tap_record(ForwardThread& t, TapRecord& record, std::vector<char>& data, int& size);

// Tells the thread that sender is no longer a stream, as of the datagram
// numbered upto.
void tap_stream_gone(ForwardThread& t, const SenderId& sender, qint64 upto);

// Sends a marker; returns its number.
qint64 send_tap_marker(ForwardThread& t);

// Waits (at most timeout_ms) until something is handed over; at once when
// something is.
void wait_tap_records(ForwardThread& t, int timeout_ms);

// Clears the wake-up fd before records are taken.
void clear_tap_wake(ForwardThread& t);

// Makes the wake-up fd readable again when records are still waiting (the
// checker took only some of them).
void wake_if_records_wait(ForwardThread& t);

// Stops and joins the thread, closes what it opened (not fd).
void stop_forward_thread(ForwardThread& t);
