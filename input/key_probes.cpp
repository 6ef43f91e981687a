#include "input/key_probes.h"

#include "input/evdev_discovery.h"

#include <cstring>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int KEY_STATE_BYTES = 96;   // key codes 0..767
constexpr int EVENT_RECORD_BYTES = 24;  // struct input_event on a 64-bit system

}  // namespace

bool query_key_state_word(uint64_t* first_word)
{
    unsigned char state[KEY_STATE_BYTES];
    std::memset(state, 0, sizeof state);
    if (::ioctl(g_evdev_fd, EVIOCGKEY(KEY_STATE_BYTES), state) < 0)
        return false;
    // Native word layout, as the kernel fills it.
    std::memcpy(first_word, state, sizeof *first_word);
    return true;
}

bool space_down_evdev()
{
    // The queued events are not needed (we read levels), but an undrained
    // queue would grow while the grave key auto-repeats.
    unsigned char record[EVENT_RECORD_BYTES];
    while (::read(g_evdev_fd, record, sizeof record) == EVENT_RECORD_BYTES) {
    }

    uint64_t word = 0;
    if (!query_key_state_word(&word))
        return false;
    return (word & GRAVE_MASK) != 0;
}

bool shift_down_evdev()
{
    uint64_t word = 0;
    if (!query_key_state_word(&word))
        return false;
    return (word & SHIFT_MASK) != 0;
}

int quit_keys_down_evdev()
{
    uint64_t word = 0;
    if (!query_key_state_word(&word))
        return -1;
    return (word & QUIT_KEYS_MASK) != 0 ? 1 : 0;
}
