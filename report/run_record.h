#pragma once
// What the timeline picture and the JUnit report need from a run, collected
// from the station's events as they go out, so that both are written from
// the same figures when the run ends.
//
// Bounded for a day-long run: each stream's marks (hold bars, arrivals,
// lapses, seq problems, malformed datagrams) are kept in lists that merge
// neighbours once they grow past MAX_MARKS, still finer than a pixel of the
// picture; holds are kept one by one up to MAX_HOLD_CASES in the whole run,
// later ones only counted (their lapses too); streams get a lane each up to
// MAX_LANES, later senders share one last lane.

#include <QHash>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

#include "station/station_event.h"
#include "report/watch_record.h"
#include "station/watch_totals.h"

constexpr int MAX_MARKS = 2048;
constexpr int MAX_HOLD_CASES = 100000;
constexpr int MAX_LANES = 64;
constexpr int MAX_DETAILS = 50;  // seq problems and malformed datagrams listed per stream

// Something that happened from start_ms to end_ms, count times; value and
// detail say more by list (a lapse: its longest silence and that one's ttl).
struct Mark {
    qint64 start_ms = 0;
    qint64 end_ms = 0;
    qint64 count = 1;
    qint64 value = -1;
    qint64 detail = -1;
};

struct MarkList {
    qint64 merge_ms = 0;  // marks with a gap up to this are one
    std::vector<Mark> marks;
};

// Appends a mark that starts no earlier than the last one; merges it into the
// last when the gap is within merge_ms; coarsens the list when it is full.
void add_mark(MarkList& list, const Mark& mark);
// The list with every gap up to merge_ms closed (for drawing at a scale).
std::vector<Mark> merged_marks(const std::vector<Mark>& marks, qint64 merge_ms);

enum class HoldEnd { Open, Released, Lapsed, Evicted, Restarted };

struct HoldCase {
    qint64 number = 0;      // 1, 2, ... within its stream
    qint64 start_ms = -1;   // station clock
    qint64 end_ms = -1;     // station clock; -1 while open
    qint64 keepalives = 0;
    qint64 margin_ms = 0;   // least ttl left at any datagram of the hold
    qint64 ttl_ms = 0;      // of the datagram that started it
    qint64 last_ttl_ms = 0;
    qint64 silence_ms = -1; // the lapse's
    qint64 lapse_ttl_ms = -1;
    HoldEnd end = HoldEnd::Open;
    bool listed = true;     // kept as its own case
    QStringList watch_failures;  // what the watched station did wrong in it
};

struct StreamRecord {
    QString from;           // "address:port"; empty for the shared last lane
    QString station;        // escaped, the latest
    QString band;
    MarkList hold_bars, arrivals, lapses, seq, malformed;
    std::vector<HoldCase> holds;  // listed ones, in order
    bool holding = false;
    HoldCase current;
    qint64 hold_count = 0;
    qint64 lapse_count = 0;
    qint64 unlisted_holds = 0;
    qint64 unlisted_lapses = 0;
    qint64 unlisted_max_silence_ms = -1;
    qint64 seq_problems = 0;
    qint64 malformed_count = 0;
    QStringList seq_details;        // first MAX_DETAILS
    QStringList malformed_details;  // first MAX_DETAILS
};

struct RunRecord {
    qint64 start_ms = 0;       // station clock at the start
    qint64 wall_start_ms = 0;  // wall clock at the same moment, ms since the epoch
    qint64 end_ms = -1;        // station clock at the end
    std::vector<StreamRecord> streams;  // in the order first heard
    QHash<QString, int> lane_of;
    qint64 listed_holds = 0;
    WatchRecord watch;          // the station under test, when watched
    WatchTotals watch_totals;   // filled at the end of the run
};

void record_events(RunRecord& run, const StationEvents& events);
// The run ends at end_ms: holds still open end there, as open.
void end_run_record(RunRecord& run, qint64 end_ms);

// Wall time of a station-clock time, ms since the epoch.
qint64 wall_ms(const RunRecord& run, qint64 at_ms);
// Local "hh:mm:ss.zzz" of a station-clock time.
QString wall_stamp(const RunRecord& run, qint64 at_ms);

struct StreamTable;

// The summary's figures, for the corner of the picture and the report.
struct RunTotals {
    qint64 problems = 0;
    qint64 holds = 0;
    qint64 lapses = 0;
    qint64 seq_problems = 0;
    qint64 malformed = 0;
    qint64 streams = 0;
    qint64 evicted = 0;
    qint64 untracked = 0;
    qint64 kernel_drops = 0;  // and unchecked: datagrams the checker never saw
    qint64 expect_holds = -1;    // -1: none expected
    qint64 holds_ended = 0;
    qint64 forward_errors = -1;  // -1: not forwarding
    QString report_error;        // a report that could not be written, said in the next
};
RunTotals run_totals(const StreamTable& table);

// A text as XML 1.0 may hold it: characters it forbids (controls other than
// tab, line feed and carriage return, lone surrogates, U+FFFE and U+FFFF)
// are dropped. Markup characters are left to the XML writer.
QString xml_safe(const QString& text);
