#pragma once
// A file written beside the run without ever holding it up: the program
// copies whole chunks (one or more lines) into a bounded in-memory queue and
// a thread of its own writes them out, so a slow or full disk never delays a
// tick, a keepalive or a datagram. Putting a chunk never waits and never
// allocates; a chunk that does not fit is refused whole, for the caller to
// count. A failed write (a full disk) ends the writing and cuts the file back
// to its last whole line; the lines it lost are counted.
//
// Reserved notes: fixed places in the file (in its header) that are
// rewritten in place, by the thread, when they change.

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>
#include <vector>

struct QueuedFile;

struct QueuedFileRhythm {
    int interval_ms = 200;       // the thread writes at least this often
    bool wake_each_put = false;  // and at once after each chunk
};

// Takes fd (open for writing, at its end) and starts the thread. Never null.
QueuedFile* start_queued_file(int fd, std::size_t queue_bytes, const std::vector<qint64>& note_offsets,
                              QueuedFileRhythm rhythm);

// The whole chunk into the queue, or false (nothing taken) when it does not
// fit. Never waits on the disk.
bool queued_file_put(QueuedFile& file, const char* bytes, std::size_t size);

// Note `index` becomes `line` (as long as the place reserved for it).
void queued_file_note(QueuedFile& file, int index, const QByteArray& line);

// The errno of the write that failed, 0 while none has.
int queued_file_error(const QueuedFile& file);

// At the end of a run only: waits up to two seconds for room for `size`.
void queued_file_wait_for_room(QueuedFile& file, std::size_t size);

struct QueuedFileEnd {
    int error = 0;          // the errno of the write that failed, or 0
    qint64 lost_lines = 0;  // queued, then lost to it
};

// Writes what is queued (waiting for the disk: the run is over), stops the
// thread, closes the file and frees it.
QueuedFileEnd finish_queued_file(QueuedFile* file);
