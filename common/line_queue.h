#pragma once
// Whole lines waiting for a descriptor that may not take them now. The queue
// is bounded: a line that does not fit is dropped and counted, never kept, so
// a stalled or failing output costs a fixed amount of memory. Lines leave in
// the order they came, and a line is never cut: once its first byte is out,
// the rest follows before anything else.

#include <QByteArray>
#include <QtGlobal>

#include <sys/types.h>

// About a thousand log lines.
constexpr int LINE_QUEUE_LIMIT_BYTES = 64 * 1024;

// Writes up to count bytes without waiting: the count written, or -1 and errno.
using WriteBytes = ssize_t (*)(int fd, const char* data, size_t count);
// The line, with its line feed, that says how many lines were lost.
using DroppedNote = QByteArray (*)(qint64 count);

// "(N lines of output dropped: the output was stalled or failing)\n"
QByteArray dropped_lines_note(qint64 count);

struct LineQueue {
    int fd = -1;
    WriteBytes write_bytes = nullptr;
    DroppedNote dropped_note = dropped_lines_note;  // a JSON output says it in JSON
    int limit_bytes = LINE_QUEUE_LIMIT_BYTES;
    QByteArray pending;      // whole lines; the first `sent` bytes are already out
    int sent = 0;
    QByteArray partial;      // text after the last line feed, waiting for the rest of its line
    qint64 dropped = 0;      // lines lost and not yet reported
    int note_bytes = 0;      // pending starts with a dropped-lines note this long
    qint64 note_count = 0;   // the count that note reports
    bool waiting = false;    // the descriptor said it would block; retry once it is writable
};

// Takes any text: complete lines are queued (or dropped), a trailing piece
// waits for its line feed. Then writes what it can.
void queue_text(LineQueue& q, const char* data, qint64 size);

// Writes as much of the queue as the descriptor takes now. A failure other
// than "would block" drops everything queued (counted).
void write_pending(LineQueue& q);

// The last chance at exit: one more try without waiting (the dropped-lines
// note included), then whatever is left is let go.
void write_pending_and_let_go(LineQueue& q);

bool queue_empty(const LineQueue& q);

// The end of a run: the queued lines (and the note of any dropped), then
// last, however long, each written whole while the descriptor takes them,
// waiting for it at most timeout_ms in all. Only past that bound, or when a
// write fails, is the rest dropped; error is then the errno (EAGAIN for the
// bound).
struct FinalWrite {
    bool whole = true;
    int error = 0;
};
FinalWrite write_final(LineQueue& q, const QByteArray& last, int timeout_ms);
