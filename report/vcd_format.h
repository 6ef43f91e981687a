#pragma once
// What goes into a Value Change Dump (IEEE 1364) that GTKWave, PulseView and
// sigrok-cli all read: 1-bit wires only (sigrok's reader stops silently at a
// vector value), times in microseconds, no comment after the header (sigrok
// stops reading there too). Formatting only, no system calls: the levels and
// marks of a run are turned into small fixed-size chunks of text that the
// writer (vcd_writer.h) queues.
//
// A level is written when it changes. A mark is a pulse one microsecond long
// with at least a microsecond low before the next on its wire, so every mark
// is an edge of its own in every viewer. Marks stamped alike (the station
// stamps in milliseconds) follow each other a microsecond or two apart; a
// mark that would then land a millisecond or more after its stamp adds
// nothing (a flood of more than ~500 a millisecond on one wire).
// Times never go backwards in the file: a change stamped before the last
// stamp written is written at that stamp.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

constexpr int VCD_MAX_WIRES = 96;
// Room for a stamp and every wire's level: the largest chunk there is.
constexpr int VCD_CHUNK_BYTES = 24 + VCD_MAX_WIRES * 4 + 8;
// Header notes are written in place once known (e.g. which sender a slot of
// wires stands for): each is a blank line this wide in the header until then.
constexpr int VCD_NOTE_WIDTH = 200;
// How late a mark may be written after its stamp before it merges.
constexpr qint64 VCD_MARK_SPREAD_US = 1000;

struct VcdChunk {
    char bytes[VCD_CHUNK_BYTES];
    int size = 0;
    int lines = 0;
};

struct VcdTrack {
    int wires = 0;
    char id[VCD_MAX_WIRES][3] = {};    // identifier code, NUL-terminated
    bool value[VCD_MAX_WIRES] = {};    // every wire's level as of now
    qint64 fall_us[VCD_MAX_WIRES] = {};  // end of the wire's latest pulse; -1: none
    qint64 last_us = 0;                // the latest stamp; "#0" opens the dump
};

// The identifier code of wire `index`: one or two printable characters.
void vcd_id(int index, char out[3]);

// All wires low at 0.
void init_vcd_track(VcdTrack& track, int wires);

// The wire's new level at t_us (appends nothing when it is already so).
void vcd_level(VcdTrack& track, qint64 t_us, int wire, bool value, VcdChunk& out);
// A one-microsecond pulse at t_us.
void vcd_mark(VcdTrack& track, qint64 t_us, int wire, VcdChunk& out);
// Every wire's level now, at the latest stamp: written again after a gap.
void vcd_all_levels(const VcdTrack& track, VcdChunk& out);
// The stamp that ends the dump, so the last levels last until then.
void vcd_end(VcdTrack& track, qint64 t_us, VcdChunk& out);

struct VcdHeaderFields {
    QString program;          // "keyline-bench 2.1"
    QDateTime start;          // wall time of the run's start
    QStringList arguments;    // the command line, program first
    QString scope;            // module name around the wires
    QStringList wire_names;   // in wire order
    QString note_title;       // the comment that holds the notes
    int notes = 0;            // note lines reserved
};

struct VcdHeader {
    QByteArray bytes;
    std::vector<qint64> note_offsets;  // where each reserved note line starts
};

// The fields every program's file starts with: this program and version,
// the run's start and command line, and its wires in a module of their own.
VcdHeaderFields run_header_fields(const QDateTime& start, const QStringList& arguments,
                                  const QString& scope, const QStringList& wire_names);

// Header, the definitions and the dump of every wire low at #0.
VcdHeader vcd_header(const VcdHeaderFields& fields);

// Text safe inside a header comment: printable ASCII only, no '$' (a reader
// may take "$end" anywhere as the end of the comment); a backslash, a '$',
// a control or a non-ASCII byte of the UTF-8 become \xNN.
QByteArray vcd_comment_text(const QString& text);
// The command line as words quoted for a shell, in comment-safe text.
QByteArray vcd_command_line(const QStringList& arguments);
// A note as it fills its reserved line: comment-safe, cut to VCD_NOTE_WIDTH
// (ending in "..." when cut), padded with blanks.
QByteArray vcd_note_line(const QString& text);
