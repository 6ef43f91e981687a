#pragma once
// The model over a scenario: what a correct station holds under its
// schedule as planned, and under what was really sent; and from the plan,
// how long the scenario and a whole run last when watched.

#include <QtGlobal>

#include <vector>

#include "conform/model.h"

struct Scenario;

// The model of a scenario's schedule as planned, times from its start (each
// source a sender of its own, the same one after a rebind).
std::vector<ModelSpan> planned_model(const Scenario& scenario);

// The model of what was really sent in a scenario, up to end_ms (monotonic).
std::vector<ModelSpan> sent_model(const Scenario& scenario, const std::vector<SentRecord>& sent, qint64 end_ms);

// The scenario's length when watched: until its last datagram or the model's
// last change, whichever is later, plus the tail (longer with a larger react-ms).
qint64 scenario_length_ms(const Scenario& scenario, qint64 react_ms);

// A whole run with these scenarios: each one's length and the settle pause before it.
qint64 run_length_ms(const std::vector<const Scenario*>& scenarios, qint64 react_ms);
