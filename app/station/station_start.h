#pragma once
// The start of a run: the socket bound, the watch, the report files, the VCD
// and the port file opened (in that order, each refusal undoing what came
// before it, so a refused start leaves nothing behind), the LISTENING line,
// then the tap's thread. And the end, once the event loop has returned.

struct StationRun;
struct StationOptions;
class QTextStream;

// 0 when the run can start; else the exit status, the reason said on err.
int start_station_run(StationRun& run, const StationOptions& options, QTextStream& err);

// Stops the tap and the watch, closes the socket and the VCD, removes the
// port file and flushes every output.
void end_station_run(StationRun& run);
