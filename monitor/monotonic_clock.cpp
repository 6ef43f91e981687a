#include "monitor/monotonic_clock.h"

#include <time.h>

qint64 monotonic_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int ms_until_past(qint64 deadline_ms)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const qint64 now_ns = qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    const qint64 past_ns = (deadline_ms + 1) * 1000000;  // the first instant that reads deadline + 1
    if (now_ns >= past_ns)
        return 0;
    const qint64 ms = (past_ns - now_ns + 999999) / 1000000;
    return ms > 0x7fffffff ? 0x7fffffff : int(ms);
}
