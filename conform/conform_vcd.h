#pragma once
// --vcd: the run as waveforms. A pulse per datagram sent (one wire per
// source), the model's inhibit and the observed state as levels. Written a
// scenario at a time once it ends, in time order, on the common writer.

#include <QString>
#include <QStringList>
#include <QDateTime>

#include "report/vcd_writer.h"
#include "conform/conform_result.h"

struct ConformVcd {
    VcdWriter writer;
    qint64 run_start_ms = 0;
    qint64 written_ms = 0;  // observed changes before this are written (the settle pauses too)
};

bool open_conform_vcd(ConformVcd& vcd, const QString& path, const QDateTime& start, qint64 run_start_ms,
                      const QStringList& arguments, const QString& observed_wire, QString* error);
// The scenario's datagrams, model and the observed changes within it.
void conform_vcd_scenario(ConformVcd& vcd, const ScenarioResult& result, const ObservedLane& observed);
void close_conform_vcd(ConformVcd& vcd, qint64 end_ms);
