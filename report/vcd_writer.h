#pragma once
// --vcd: a waveform file written beside the run without ever holding it up.
// Each level change or mark is formatted into a fixed buffer (no allocation)
// and copied into a bounded in-memory queue; a thread of its own writes the
// queue to the file at least five times a second, so a killed run keeps all
// but its last fraction of a second. When the disk cannot keep up, what does
// not fit in the queue is dropped and counted, never waited for; after such
// a gap every wire's level is written again, so the levels stay right. A
// failed write (a full disk) ends the writing, not the run.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include "report/vcd_format.h"

class QTextStream;

// About half a minute of a flood of marks, hours of a quiet run.
constexpr int VCD_QUEUE_BYTES = 256 * 1024;
// The writer thread's rhythm.
constexpr int VCD_WRITE_INTERVAL_MS = 200;

struct QueuedFile;  // the queue and its thread

struct VcdWriter {
    VcdTrack track;
    QueuedFile* output = nullptr;  // null: not writing
    QString option_text;          // "keyline-bench: --vcd FILE" for messages
    QTextStream* err = nullptr;   // where a gap or a failure is said, once each
    qint64 dropped_lines = 0;
    bool gap = false;             // lines were dropped since the levels were last written
    bool said_drop = false;
    bool said_failure = false;
};

// Creates `path` (an existing file is never touched, nor a link followed),
// writes the header and starts the writer thread. On failure returns false
// with the reason.
bool open_vcd_writer(VcdWriter& writer, const QString& path, const VcdHeader& header, int wires,
                     QString* error, int queue_bytes = VCD_QUEUE_BYTES);
bool vcd_open(const VcdWriter& writer);

// Times are microseconds from the run's start. Nothing happens when no file is open.
void vcd_write_level(VcdWriter& writer, qint64 t_us, int wire, bool value);
void vcd_write_mark(VcdWriter& writer, qint64 t_us, int wire);
// Fills reserved header note `index` (written by the thread, in place).
void vcd_write_note(VcdWriter& writer, int index, const QString& text);

// Ends the dump at end_us, writes what is queued (waiting for the disk: the
// run is over), stops the thread, closes the file and says how many lines
// were lost, if any.
void close_vcd_writer(VcdWriter& writer, qint64 end_us);
