#pragma once
// True-level key probes on the keyboard that discovery opened (g_evdev_fd).
// Fixed buffers, non-blocking calls only: they run inside the 5 ms tick.

#include <cstdint>

#include "input/key_codes.h"

constexpr uint64_t GRAVE_MASK = uint64_t(1) << KEY_CODE_GRAVE;
constexpr uint64_t SHIFT_MASK = (uint64_t(1) << KEY_CODE_LEFTSHIFT) | (uint64_t(1) << KEY_CODE_RIGHTSHIFT);
constexpr uint64_t QUIT_KEYS_MASK = (uint64_t(1) << KEY_CODE_ESC) | (uint64_t(1) << KEY_CODE_Q);

// Why a keyboard counts as gone (g_evdev_gone).
extern const char* const KEYBOARD_NO_SUCH_DEVICE;  // "no such device"
extern const char* const KEYBOARD_HUNG_UP;         // "hung up"

// The keys a tick looks at, all from one key-state query. A failed query
// reads as every key up.
struct KeyLevels {
    bool grave = false;
    bool shift = false;      // left or right
    bool quit_keys = false;  // Esc or Q
};
KeyLevels key_levels_from_word(uint64_t first_word);

// EVIOCGKEY(96) on g_evdev_fd; on success stores the first 64-bit word of the
// key state bitmap and returns true. Fails at once while no keyboard is open;
// "no such device" sets g_evdev_gone.
bool query_key_state_word(uint64_t* first_word);

// One key-state query: the tick's snapshot of grave, shift, Esc and Q.
KeyLevels read_key_levels();

// Reads every pending event record, many per read; the records are not
// needed (levels are queried) but a readable device would wake the tick
// again and again. A device that is gone (no such device, end of file, an
// error or hang-up on the descriptor) sets g_evdev_gone.
void drain_keyboard_events();
