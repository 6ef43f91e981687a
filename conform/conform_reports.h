#pragma once
// The records of a run, built as bytes from the results (nothing here reaches
// back into the run): a JUnit XML report and an SVG timeline.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <vector>

#include "conform/conform_result.h"

// One testsuite "keyline-conform", one testcase per scenario named after it;
// a FAIL is a failure carrying the offsets, a NOT JUDGED an error (it is not a pass).
QByteArray junit_xml(const std::vector<ScenarioResult>& results, const QString& station_text,
                     const QDateTime& started);

// The run as a picture: the scenarios as sections along the time axis, the
// model's inhibit and the observed state as two lanes, red where they disagree.
QByteArray timeline_svg(const std::vector<ScenarioResult>& results, const ObservedLane& observed,
                        const QString& title);
