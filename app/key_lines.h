#pragma once
// The KEY a run opens before it starts: a serial line (--key-serial), a
// rig's PTT (--key-rig) or, for neither and no keyless source, the keyboard.

#include <QString>

#include "app/rig_key.h"
#include "app/serial_key.h"

class QObject;
struct AgentOptions;
struct TickWakeups;

struct KeyLines {
    bool serial_set = false;
    bool rig_set = false;
    SerialKey serial;
    RigKey rig;
};

// Opens what the options name; the keyboard unless keyless. False with the
// lines for standard error (each ended by a line feed): exit status 1.
bool open_key_lines(KeyLines& lines, const AgentOptions& options, bool keyless, QString* error);

// The opened line read by the tick, its edges waking it, its loss and
// return reported on the wakeups' event stream.
void connect_key_lines(KeyLines& lines, TickWakeups& wakeups, QObject* context);

void close_key_lines(KeyLines& lines);
