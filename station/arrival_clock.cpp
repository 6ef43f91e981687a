#include "station/arrival_clock.h"

qint64 arrival_on_station_clock(qint64 stamp_realtime_ms, const ClockReading& now,
                                qint64 queue_empty_ms)
{
    const qint64 longest = qMax<qint64>(0, now.station_ms - queue_empty_ms);
    const qint64 age = qBound<qint64>(0, now.realtime_ms - stamp_realtime_ms, longest);
    return now.station_ms - age;
}

qint64 take_arrival(QueueReading& queue, qint64 stamp_realtime_ms, const ClockReading& now)
{
    const qint64 arrival = stamp_realtime_ms < 0
        ? now.station_ms
        : arrival_on_station_clock(stamp_realtime_ms, now, queue.empty_ms);
    queue.last_arrival_ms = qMax(arrival, queue.last_arrival_ms);
    return queue.last_arrival_ms;
}
