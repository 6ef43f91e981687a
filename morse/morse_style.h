#pragma once
// How a Morse text is keyed beyond its speed: Farnsworth spacing, weight and
// a human fist. Applied to the exact schedule of morse_schedule.

#include <QtGlobal>

struct KeySchedule;

constexpr int MAX_FIST_PERCENT = 30;
constexpr int MIN_WEIGHT_PERCENT = 30;
constexpr int MAX_WEIGHT_PERCENT = 70;
constexpr int STANDARD_WEIGHT_PERCENT = 50;
// The styled schedule counts in thousandths of a dit.
constexpr qint64 STYLE_UNITS_PER_DIT = 1000;

struct MorseStyle {
    int wpm = 20;             // the characters' speed
    int farnsworth_wpm = 0;   // the overall speed the spacing is stretched to; 0: none
    int fist_percent = 0;     // each element and gap off by up to this much, at random
    int weight_percent = STANDARD_WEIGHT_PERCENT;
    quint64 seed = 0;         // the fist's draws
};

// Nothing to change: the schedule stays exactly as morse_schedule made it.
bool morse_style_plain(const MorseStyle& style);

// The spacing unit in dits of the characters' speed, by the ARRL's formula:
// the delay per standard word, (60 c - 37.2 s) / (s c) seconds at character
// speed c and overall speed s, split into 19 units (3 per letter gap, 7 per
// word gap of PARIS). 1 when the speeds are the same.
double farnsworth_unit_dits(int wpm, int farnsworth_wpm);

// Rewrites a schedule from morse_schedule (dit units: marks of 1 and 3, gaps
// of 1, 3 and 7): letter and word gaps stretched, marks weighted, then every
// mark and gap, the gap between rounds too, scaled by its own draw in
// 1 +- fist. The same seed gives the same schedule.
void apply_morse_style(KeySchedule& schedule, const MorseStyle& style);
