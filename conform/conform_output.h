#pragma once
// The verdict lines: one per scenario as it ends, then the summary; as text
// or as JSON lines (--json). And the --list table.

#include <QString>
#include <QtGlobal>

#include <vector>

#include "conform/conform_result.h"

struct Scenario;

// "PASS  lost-keepalive  inhibited throughout (2.4 s)"
QString verdict_line(const ScenarioResult& result);
// {"event":"scenario","name":...,"verdict":"fail",...}
QString verdict_json(const ScenarioResult& result, qint64 run_start_ms);

// "conformance: 11 of 12 passed, 1 failed, 0 not judged"
QString summary_line(const ConformTally& counts, int scenarios);
QString summary_json(const ConformTally& counts, int scenarios, qint64 run_ms);

// A line per scenario: name, section, length (with this react-ms), what it checks; then the whole run's length.
QString list_text(qint64 react_ms);
