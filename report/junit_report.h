#pragma once
// The run as a JUnit XML report for CI servers: a testsuite per stream
// (named by station and band, with an index where two senders share them;
// its address in the properties), a testcase per hold ("hold N", its start,
// length, keepalives and margin in system-out), a lapse as the failure of its
// hold's case, a hold still open at the end skipped (not judged), and one case
// per stream each for seq problems and malformed datagrams. What fails the run
// beyond a stream (too few holds ended, forward errors, senders not followed,
// a report not written) is a failing case of a last suite, "keyline-station
// run", so every reason for a failed run fails a case. tests, failures,
// skipped and time are counted from the cases written; a suite's time is the
// sum of its cases' times. Names carry no time and no port: they stay the same
// from run to run.

#include <QByteArray>
#include <QString>

#include "report/run_record.h"

QByteArray junit_xml(const RunRecord& run, const RunTotals& totals, const QString& hostname);
