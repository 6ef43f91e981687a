#pragma once
// The seed of a run's random draws: the one given with --seed, or one chosen
// at start-up and printed, so that a failing run can be replayed.

#include <QString>
#include <QtGlobal>

struct AgentOptions;

quint64 run_seed(const AgentOptions& options);

// "  seed=N  (--seed N replays the random draws)\n"
QString seed_banner_line(quint64 seed);
