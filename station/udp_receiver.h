#pragma once
// The receiving socket and the clock it is judged by: the only places that
// make socket and clock system calls.

#include <QString>
#include <QtGlobal>

#include "station/arrival_clock.h"
#include "station/sender_id.h"

#include <sys/socket.h>

class QHostAddress;

// The socket address of a numeric address and port (IPv4 or IPv6 with its
// scope); returns its length.
socklen_t socket_address(const QHostAddress& address, quint16 port, sockaddr_storage& storage);

// Opens a non-blocking UDP socket bound exclusively (no SO_REUSEADDR or
// SO_REUSEPORT, so a port held by any other socket is refused) to address
// and port, asking the kernel to time stamp each datagram on arrival
// (SO_TIMESTAMPNS) and to say how many it dropped for a full queue
// (SO_RXQ_OVFL). Returns the descriptor, with bound_port the port the
// system gave; -1 with error the system's reason when it cannot be bound.
int open_inhibit_socket(const QHostAddress& address, quint16 port, quint16& bound_port,
                        QString& error);

struct ReceivedDatagram {
    int size = 0;             // payload bytes (the whole datagram)
    SenderId sender;
    qint64 arrival_ms = -1;   // kernel receive time on the station's clock (arrival_clock.h)
    qint64 kernel_drops = 0;  // datagrams the socket had dropped for a full queue when this one was queued
};

// One datagram as the kernel hands it over, before its arrival is put on the
// station's clock: the receive is kept apart so that a tap can send it on
// first.
struct RawDatagram {
    int size = 0;
    SenderId sender;
    qint64 stamp_realtime_ms = -1;  // the kernel's receive stamp, -1: none
    qint64 kernel_drops = 0;
};

// Receives one queued datagram without waiting (wait false; then, when none
// is queued, queue_empty_ms becomes the station-clock time read just before
// the queue was found empty), or waiting for one on a blocking socket (wait
// true). False when none was taken.
bool receive_raw(int fd, char* buffer, int capacity, bool wait, qint64& queue_empty_ms, RawDatagram& out);

// Puts a received datagram on the station's clock, in queue order
// (take_arrival), reading the clocks now.
ReceivedDatagram arrival_of(const RawDatagram& raw, QueueReading& queue);

// How many datagrams the socket has dropped for a full receive queue so far
// (the counter SO_RXQ_OVFL reports with each datagram, read directly); -1
// when the system does not say.
qint64 socket_kernel_drops(int fd);

// Receives one queued datagram into buffer (capacity bytes, at least 65536 so
// nothing is cut), its arrival taken in queue order (take_arrival). False when
// nothing is queued; then queue.empty_ms becomes the station-clock time read
// just before the queue was found empty, which bounds how early the next
// datagram can have arrived.
bool receive_datagram(int fd, char* buffer, int capacity, QueueReading& queue, ReceivedDatagram& out);

// Wall-clock milliseconds since the epoch: the clock of the kernel stamps.
qint64 realtime_now_ms();

// The clock every arrival, expiry and deadline is judged by: CLOCK_MONOTONIC
// in milliseconds, which no clock step moves.
qint64 station_now_ms();
