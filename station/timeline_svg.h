#pragma once
// The run as a self-contained SVG picture: a wall-time axis, a lane per
// stream with its hold bar, arrival ticks, lapses (red, with their silence),
// seq problems and malformed datagrams, a legend and the summary's figures.
// No script, no link, no font file; every text from the network is data.
// Marks closer than a pixel are drawn as one, so a day-long run stays small.

#include <QByteArray>

#include "station/run_record.h"

QByteArray timeline_svg(const RunRecord& run, const RunTotals& totals);
