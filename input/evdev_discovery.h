#pragma once
// Finds and opens one keyboard with a grave key among the input devices.

#include <QByteArray>
#include <QString>

// The open keyboard; -1 while none is open (before discovery, and after the
// keyboard went away until it is found again).
extern int g_evdev_fd;
// The path g_evdev_fd was opened through (a by-path link or an event node).
extern QByteArray g_evdev_path;
// Set when the open keyboard turned out to be gone ("no such device", or its
// descriptor hung up); the reason, for the message. nullptr while it works.
extern const char* g_evdev_gone;
// Why discovery failed; empty after success.
extern QString g_evdev_fail_reason;
// The last discovery failed with no candidate device at all (none there, as
// opposed to some there that could not be opened or used).
extern bool g_evdev_none_found;

// What discovery counted over its candidates; the names are those printed in
// the last failure reason.
struct DiscoveryCounters {
    int tried = 0;       // attempted and not accepted, whatever the outcome
    int eacces = 0;      // open failed with EACCES or EPERM
    int other_open = 0;  // open failed otherwise
    int no_key = 0;      // no EV_KEY in the event-type bitmap
    int no_grave = 0;    // key bitmap unreadable or without KEY_GRAVE
};

// The device calls discovery makes; the real ones by default, fakes in tests.
struct EvdevDeviceOps {
    int (*open_device)(const char* path);                      // -1 and errno on failure
    int (*query_event_types)(int fd, unsigned char buf[8]);    // EVIOCGBIT(0, 8)
    int (*query_key_codes)(int fd, unsigned char buf[96]);     // EVIOCGBIT(EV_KEY, 96)
    void (*close_device)(int fd);
};
EvdevDeviceOps real_evdev_device_ops();

// One search directory and its name rule.
struct SearchDir {
    const char* path;
    bool (*is_candidate)(const QString& name);
};

bool by_path_candidate(const QString& name);  // contains "event-kbd"
bool event_node_candidate(const QString& name);  // begins with "event"

// The reason text for a failed discovery, by the first rule that applies.
QString discovery_fail_reason(const DiscoveryCounters& c);

// Scans the directories in order; the first acceptable device wins. On
// success sets g_evdev_fd and g_evdev_path; on failure leaves g_evdev_fd alone and sets
// g_evdev_fail_reason. counters_out (optional) receives the counts.
bool open_evdev_keyboard_in(const SearchDir* dirs, int dir_count, const EvdevDeviceOps& ops,
                            DiscoveryCounters* counters_out = nullptr);

// "/dev/input/by-path" then "/dev/input", with the real device calls.
bool open_evdev_keyboard();

// Closes the open keyboard (if any): g_evdev_fd -1, g_evdev_gone cleared.
void close_evdev_keyboard();
