#pragma once
// The run as a JUnit XML report for CI servers: a testsuite per stream
// (named by its sender, station and band), a testcase per hold with its
// start, length, keepalives and margin, a lapse as the failure of its hold's
// case, and one case per stream each for seq problems and malformed
// datagrams. tests, failures, skipped and time are counted from the cases
// written; a suite's time is the sum of its cases' times.

#include <QByteArray>
#include <QString>

#include "station/run_record.h"

QByteArray junit_xml(const RunRecord& run, const QString& hostname);
