#pragma once
// The run as a self-contained SVG picture: a wall-time axis, a lane per
// stream with its hold bar, arrival ticks, lapses (red, with their silence),
// seq problems and malformed datagrams, a legend and the summary's figures.
// No script, no link, no font file; every text from the network is data.
// Marks within a pixel of each other are drawn as one, per lane and kind, so
// the picture's size is bounded by its pixels (at most 64 lanes, each kind of
// mark at most one rect per two pixels of the plot), not by the traffic.

#include <QByteArray>

#include "report/run_record.h"

QByteArray timeline_svg(const RunRecord& run, const RunTotals& totals);
