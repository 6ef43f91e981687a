#include "monitor/key_line.h"

bool read_key_line(KeyLine& line, qint64 now_ms, qint64* at_ms)
{
    const LineReading r = line.read(now_ms);
    if (!r.answered) {
        line.lost = true;
        *at_ms = now_ms;
        return line.level;
    }
    line.lost = false;
    line.level = r.level;
    // Marks and gaps are timed from the reading itself (a rig's poll), so a
    // rig that answered late does not lengthen them.
    qint64 at = r.at_ms >= 0 && r.at_ms < now_ms ? r.at_ms : now_ms;
    if (at < line.at_ms)
        at = line.at_ms;
    line.at_ms = at;
    *at_ms = at;
    return line.level;
}
