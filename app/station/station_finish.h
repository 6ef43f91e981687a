#pragma once
// When a run ends and how: after --holds holds (with a watch, once the
// station's answer to the last one can be judged), at --duration's end, or
// on a signal; then everything still queued is taken in, the summary and the
// report files written, and the exit status decided.

#include <QtGlobal>

struct StationRun;

// --holds holds have ended, and with a watch react-ms (and two polls) more
// have passed, so that the station's answer to the last one is judged too.
bool enough_holds(StationRun& run);

// The next time something is due (a hold's expiry, the end of a sender's
// malformed second, the watch's next judgement, the end of the run); -1:
// nothing is.
qint64 next_deadline_ms(const StationRun& run);

// Ends the run once: the exit status (0, 1 problems, 2 a report not written).
int finish_station_run(StationRun& run);
