#pragma once
// Standard output and standard error for a program whose event loop must
// never wait on them: a reader that stops reading (a suspended `| tee`, a
// pager) or an output that fails (/dev/full, a closed pipe) costs at most a
// bounded queue of whole lines, never a delayed datagram.
//
// The descriptor is made non-blocking. That flag belongs to the open file,
// which a terminal usually shares with the shell, so it is put back at exit
// (also through atexit) and while the program is stopped.

#include <QByteArray>

#include "common/line_queue.h"

class QIODevice;

// A write-only device on fd (1 or 2) for a QTextStream: everything written is
// taken at once; whole lines go out as the descriptor accepts them, through a
// bounded queue (see common/line_queue.h). Needs the Qt application object;
// the device lives until the program ends. dropped_note, when given, words
// the line that says how many lines were lost (e.g. as a JSON line).
QIODevice* nonblocking_output(int fd, QByteArray (*dropped_note)(qint64 count) = nullptr);

// The end of a run on fd: what is queued, then last (e.g. a summary, never
// dropped for its length), written waiting at most timeout_ms for a slow
// reader. Not whole when anything had to be dropped; error says why.
FinalWrite finish_nonblocking_output(int fd, const QByteArray& last, int timeout_ms);

// One more try for what is still queued, without waiting, then it is dropped;
// the descriptors get their flags back. Call after the last line.
void close_nonblocking_outputs();

// Around a stop (SIGTSTP): the shell gets the flags it knows, then ours again.
void pause_nonblocking_outputs();
void resume_nonblocking_outputs();
