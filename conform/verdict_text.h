#pragma once
// The words of a verdict line, from what was sent and the model: what a
// finding came after ("free 4 ms after a stale RELEASE (seq 7, highest 9)")
// and what a pass says. Pure: no clock, no watch.

#include <QString>
#include <QtGlobal>

#include "conform/conform_result.h"

// What happened at at_ms, placed after the latest of the scenario's own
// datagrams (the flood aside) or the model's expiries before it.
QString finding_text(const ScenarioResult& result, const QString& what, qint64 at_ms);

// "inhibited throughout (inhibited 2.0 s)"
QString pass_text(const ScenarioResult& result);

// How long the model held within the scenario.
qint64 model_inhibited_ms(const ScenarioResult& result);
