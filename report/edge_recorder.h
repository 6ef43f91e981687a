#pragma once
// --record: the KEY's edges as the KEYing monitor sees them, written as a key
// script ("down MS" / "up MS") that --key-script replays. One line per edge,
// handed to a writer thread at once (report/queued_file.h), so a killed run
// keeps them all and a slow disk never holds up the tick.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "common/bench_event.h"

class QDateTime;
class QTextStream;
struct QueuedFile;

// Hours of keying; minutes of a disk that takes nothing.
constexpr int RECORD_QUEUE_BYTES = 64 * 1024;

// Formatting, no system calls.
QString shell_quoted(const QString& argument);
// The comment lines that open a recording: when, and the command line as given.
QByteArray record_header(const QDateTime& when_utc, const QStringList& arguments);
// The next piece of a level that lasted `left_ms`: never under the shortest
// duration a script may hold (a shorter one is written as that), never over
// the longest (a longer one takes several lines of the same level).
qint64 record_chunk_ms(qint64 left_ms);
// "down 60\n" into buf; the length written.
int format_record_line(char* buf, int size, bool down, qint64 ms);

struct EdgeRecorder {
    QueuedFile* out = nullptr;   // null: not recording
    QString name;
    QTextStream* err = nullptr;  // where a stop is said, once
    bool level_down = false;     // the level since the last edge
    qint64 last_edge_ms = -1;    // -1: no edge yet; the recording starts at the first
    bool failed = false;         // a write failed or the disk fell behind: nothing more is written
    double dit_ms = 0.0;         // the latest dit estimate of the keying (0: none yet)
};

// Creates `path` (an existing file is never touched) and writes the header.
// On failure returns false with the reason, and a file it created is removed.
bool open_edge_recorder(EdgeRecorder& recorder, const QString& path, const QByteArray& header,
                        QString* error);

// One edge at `now` (monotonic ms): queues the level that it ends. Never
// waits; no allocation unless the recording stops.
void record_edge(EdgeRecorder& recorder, bool down, qint64 now);

// The keying's running dit estimate (0: none), remembered for the closing
// gap; a released hold forgets its estimate, the recorder keeps the last one.
void note_dit_estimate(EdgeRecorder& recorder, double dit_ms);

// The closing line at the end of the run (`now`): the level since the last
// edge, and the KEY up for at least one word gap (7 dits of the estimate),
// so that a repeated replay keeps its rounds words apart.
void finish_edge_recorder(EdgeRecorder& recorder, qint64 now);

// Writes what is queued and closes the file; a failed write not yet said is
// said here.
void close_edge_recorder(EdgeRecorder& recorder);

// The reporter: each KEY edge, with the keying's dit estimate before it.
void edge_recorder_take(void* self, const BenchEvent& event);
BenchSink edge_recorder_sink(EdgeRecorder& recorder);
