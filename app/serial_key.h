#pragma once
// --key-serial wired into the run: the port read by the tick, its edges
// waking the tick at once, and a port that goes away reported, looked for
// again every second and reported when it is back.

#include <QString>

#include "app/key_line_source.h"
#include "input/modem_edge_wait.h"
#include "input/serial_line.h"

class QSocketNotifier;
class QTimer;

constexpr int SERIAL_SEARCH_INTERVAL_MS = 1000;

struct SerialKey {
    SerialLineWiring wiring;
    SerialPort port;
    ModemEdgeWait edges;
    KeyLineSource source;
    int read_errno = 0;  // why the latest reading failed
    QSocketNotifier* edge_notifier = nullptr;
    QTimer* search_timer = nullptr;
};

// Parses the option (already checked) and opens the port. On failure
// returns false with "keyline-bench: --key-serial ...: cannot open ...".
bool open_serial_key(SerialKey& key, const QString& option_text, QString* error);

// Has the tick read the port, the edges wake it, and the port's loss be
// reported after a tick (wakeups.after_tick).
void connect_serial_key(SerialKey& key, TickWakeups& wakeups, QObject* context);

// Stops the edge thread and puts the port back as it was found.
void close_serial_key(SerialKey& key);
