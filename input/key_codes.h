#pragma once
// The evdev key codes keyline-bench watches: what discovery asks a keyboard
// to have, and what the probes read.

constexpr int KEY_CODE_ESC = 1;
constexpr int KEY_CODE_Q = 16;
constexpr int KEY_CODE_GRAVE = 41;
constexpr int KEY_CODE_LEFTSHIFT = 42;
constexpr int KEY_CODE_RIGHTSHIFT = 54;
