#include "input/key_probes.h"

#include "input/evdev_discovery.h"

#include <cerrno>
#include <cstring>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

const char* const KEYBOARD_NO_SUCH_DEVICE = "no such device";
const char* const KEYBOARD_HUNG_UP = "hung up";

namespace {

constexpr int KEY_STATE_BYTES = 96;     // key codes 0..767
constexpr int EVENT_RECORD_BYTES = 24;  // struct input_event on a 64-bit system
constexpr int DRAIN_RECORDS = 64;       // one read takes this many at most

bool descriptor_hung_up(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

KeyLevels key_levels_from_word(uint64_t first_word)
{
    KeyLevels levels;
    levels.grave = (first_word & GRAVE_MASK) != 0;
    levels.shift = (first_word & SHIFT_MASK) != 0;
    levels.quit_keys = (first_word & QUIT_KEYS_MASK) != 0;
    return levels;
}

bool query_key_state_word(uint64_t* first_word)
{
    if (g_evdev_fd < 0)
        return false;
    unsigned char state[KEY_STATE_BYTES];
    std::memset(state, 0, sizeof state);
    if (::ioctl(g_evdev_fd, EVIOCGKEY(KEY_STATE_BYTES), state) < 0) {
        if (errno == ENODEV)
            g_evdev_gone = KEYBOARD_NO_SUCH_DEVICE;
        return false;
    }
    // Native word layout, as the kernel fills it.
    std::memcpy(first_word, state, sizeof *first_word);
    return true;
}

KeyLevels read_key_levels()
{
    uint64_t word = 0;
    if (!query_key_state_word(&word))
        return KeyLevels{};
    return key_levels_from_word(word);
}

void drain_keyboard_events()
{
    if (g_evdev_fd < 0)
        return;
    unsigned char records[DRAIN_RECORDS * EVENT_RECORD_BYTES];
    for (;;) {
        const ssize_t n = ::read(g_evdev_fd, records, sizeof records);
        if (n == ssize_t(sizeof records))
            continue;  // there may be more
        if (n > 0)
            return;  // a short read takes the last of them
        if (n == 0) {
            g_evdev_gone = KEYBOARD_HUNG_UP;  // end of file
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno == ENODEV)
            g_evdev_gone = KEYBOARD_NO_SUCH_DEVICE;
        else if (descriptor_hung_up(g_evdev_fd))
            g_evdev_gone = KEYBOARD_HUNG_UP;  // nothing to read, yet it keeps waking us
        return;
    }
}
