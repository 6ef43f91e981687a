#pragma once
// True-level key probes on the keyboard that discovery opened (g_evdev_fd).
// Fixed buffers, non-blocking calls only: they run inside the 5 ms tick.

#include <cstdint>

constexpr int KEY_CODE_ESC = 1;
constexpr int KEY_CODE_Q = 16;
constexpr int KEY_CODE_GRAVE = 41;
constexpr int KEY_CODE_LEFTSHIFT = 42;
constexpr int KEY_CODE_RIGHTSHIFT = 54;

constexpr uint64_t GRAVE_MASK = uint64_t(1) << KEY_CODE_GRAVE;
constexpr uint64_t SHIFT_MASK = (uint64_t(1) << KEY_CODE_LEFTSHIFT) | (uint64_t(1) << KEY_CODE_RIGHTSHIFT);
constexpr uint64_t QUIT_KEYS_MASK = (uint64_t(1) << KEY_CODE_ESC) | (uint64_t(1) << KEY_CODE_Q);

// EVIOCGKEY(96) on g_evdev_fd; on success stores the first 64-bit word of the
// key state bitmap and returns true.
bool query_key_state_word(uint64_t* first_word);

// Drains the pending input events, then reports whether grave is down.
// A failed query reads as up.
bool space_down_evdev();
// Whether left or right shift is down; no drain. A failed query reads as up.
bool shift_down_evdev();
// Esc or Q down: 1; both up: 0; query failed: -1.
int quit_keys_down_evdev();
