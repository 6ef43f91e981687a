#pragma once
// keyline-station --vcd: each stream as waveforms. A Value Change Dump
// declares every wire before the first change, and streams come and go
// during a run, so a fixed number of slots of wires is declared up front:
// the first STATION_VCD_SLOTS senders heard, in that order, take slot s0,
// s1, ... and the header says, once known, which sender (station, band)
// each slot stands for. Later senders are not drawn; the header counts them
// and the run's end says so.
//
// Per slot: the hold as the station sees it (a level), and a 1 us pulse per
// arrival, per lapse, per sequence problem and per malformed datagram (a
// sender's share of a rate-limited summary of malformed datagrams is one
// pulse too). The station stamps in whole milliseconds, so marks of one wire
// stamped in the same millisecond share one pulse (the header says so): the
// file grows with time, never with the datagrams, at most one pulse per wire
// and millisecond however many arrive.

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <unordered_set>

#include "report/vcd_writer.h"
#include "station/station_event.h"

constexpr int STATION_VCD_SLOTS = 16;
// Distinct senders beyond the slots that are counted one by one.
constexpr int STATION_VCD_COUNTED_BEYOND = 4096;

enum StreamWire {
    STREAM_WIRE_HOLD,
    STREAM_WIRE_ARRIVAL,
    STREAM_WIRE_LAPSE,
    STREAM_WIRE_SEQ,
    STREAM_WIRE_MALFORMED,
    STREAM_WIRES
};

// "s0_hold", "s0_arrival", ... for every slot.
QStringList station_wire_names();

// With a watch of the station under test, one more level each after the
// slots: `tx` (its PTT, --watch-rig) and `station_inhibited` (what its log
// says, --watch-log).
struct StationVcd {
    VcdWriter writer;
    int watch_wire[2] = {-1, -1};         // tx, station_inhibited; -1: not drawn
    qint64 start_ms = 0;                  // the run's start on the station's clock
    int slots_used = 0;
    QString slot_from[STATION_VCD_SLOTS];
    bool slot_noted[STATION_VCD_SLOTS] = {};
    QString slot_station[STATION_VCD_SLOTS];  // as last written to the header
    QString slot_band[STATION_VCD_SLOTS];
    qint64 last_mark_ms[STATION_VCD_SLOTS * STREAM_WIRES];  // stamp of each wire's latest pulse
    std::unordered_set<QString> beyond;    // senders that found no slot
    bool beyond_full = false;              // more of them than were counted
};

bool open_station_vcd(StationVcd& vcd, const QString& path, const QDateTime& start_wall,
                      qint64 start_ms, const QStringList& arguments, QString* error, bool watch_tx = false,
                      bool watch_inhibited = false);

// The slot the sender has, a new one when there is room, or -1.
int station_vcd_slot(StationVcd& vcd, const QString& from);

// Draws the events (their at_ms on the station's clock). Does nothing when
// no file is open.
void station_vcd_events(StationVcd& vcd, const StationEvents& events);

void close_station_vcd(StationVcd& vcd, qint64 now_ms);
