#pragma once
// The station judges every time on the monotonic clock, which no clock step
// moves. The kernel stamps datagrams on the realtime clock only, so a stamp
// is carried over by its age: the realtime now minus the stamp, read together
// with the monotonic now. A realtime step between arrival and read would make
// that age wrong by the step, so the age is bounded to what it can be: not
// below 0 (not later than now) and not above the time since the receive queue
// was last seen empty (it cannot have been queued before that).

#include <QtGlobal>

struct ClockReading {
    qint64 realtime_ms = 0;  // ms since the epoch
    qint64 station_ms = 0;   // the monotonic clock, ms
};

// The station-clock time of a datagram the kernel stamped at stamp_realtime_ms,
// read at now; queue_empty_ms is when (on the station clock) the queue was
// last found empty.
qint64 arrival_on_station_clock(qint64 stamp_realtime_ms, const ClockReading& now,
                                qint64 queue_empty_ms);

// What the receiver keeps between reads of its queue.
struct QueueReading {
    qint64 empty_ms = 0;         // station clock: when the queue was last found empty
    qint64 last_arrival_ms = 0;  // the arrival of the datagram taken last
};

// The arrival of the next datagram taken from the queue, stamped at
// stamp_realtime_ms (or -1: no stamp, so now). The queue hands datagrams over
// in the order they came, so clocks read in whole milliseconds must not make
// one seem to come before the one ahead of it (a hold of -1 ms).
qint64 take_arrival(QueueReading& queue, qint64 stamp_realtime_ms, const ClockReading& now);
