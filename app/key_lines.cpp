#include "app/key_lines.h"

#include "app/agent_options.h"
#include "app/key_line_options.h"
#include "app/keyboard_refusal.h"
#include "input/evdev_discovery.h"

bool open_key_lines(KeyLines& k, const AgentOptions& options, bool keyless, QString* error)
{
    k.serial_set = options.key_serial_set;
    k.rig_set = options.key_rig_set;
    if ((k.serial_set && !open_serial_key(k.serial, options.key_serial, error)) ||
        (k.rig_set && !open_rig_key(k.rig, options, error))) {
        *error += QLatin1Char('\n');
        return false;
    }
    if (!keyless && !key_line_source(options) && !open_evdev_keyboard()) {
        *error = keyboard_refusal_text(g_evdev_fail_reason, g_evdev_none_found);
        return false;
    }
    return true;
}

void connect_key_lines(KeyLines& k, TickWakeups& wakeups, QObject* context)
{
    if (k.serial_set)
        connect_serial_key(k.serial, wakeups, context);
    if (k.rig_set)
        connect_rig_key(k.rig, wakeups, context);
}

void close_key_lines(KeyLines& k)
{
    close_serial_key(k.serial);
    close_rig_key(k.rig);
}
