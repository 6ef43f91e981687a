#pragma once
// The station's watch as keyline-conform uses it: the watch of
// keyline-station (its rig poller or its log reader, and its judgement),
// started once for the whole run. Samples are taken in on the event loop;
// each scenario is judged over its own window.

#include <QString>
#include <QtGlobal>

#include "conform/conform_options.h"
#include "conform/conform_result.h"

struct ConformWatch;

// Starts the watch; null with the reason when it cannot start (exit 2).
ConformWatch* start_conform_watch(const ConformOptions& options, QString* error);
void stop_conform_watch(ConformWatch* watch);

// Takes in what the watch has seen so far (never blocks).
void take_watch_samples(ConformWatch* watch);
// The observed level as seen so far, for the timeline and the waveform.
const ObservedLane& observed_lane(const ConformWatch* watch);

// Judges the scenario over [start_ms, end_ms) with the watch's own rules:
// sets the outcome, the verdict text and the findings.
void judge_scenario(ConformWatch* watch, ScenarioResult& result);
