#include "monitor/key_line.h"

bool read_key_line(KeyLine& line, qint64 now_ms, qint64 not_before_ms, qint64* at_ms)
{
    const LineReading r = line.read(now_ms);
    *at_ms = now_ms;
    if (!r.answered) {
        line.lost = true;
        return line.level;
    }
    line.lost = false;
    line.level = r.level;
    // Marks and gaps are timed from the reading itself (a rig's poll), kept
    // in order with what earlier ticks stamped.
    if (r.at_ms >= 0 && r.at_ms < now_ms)
        *at_ms = r.at_ms > not_before_ms ? r.at_ms : not_before_ms;
    return line.level;
}
