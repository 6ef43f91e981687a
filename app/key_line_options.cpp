#include "app/key_line_options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include "app/agent_options.h"
#include "input/serial_line.h"
#include "rig/rig_address.h"

void add_key_line_options(QCommandLineParser& parser)
{
    parser.addOption(QCommandLineOption(
        "key-serial",
        "Read the KEY from a serial port's modem-status input instead of a keyboard (none is "
        "opened): LINE is cts, dsr, dcd or ri, with ! before it for an active-low line "
        "(/dev/ttyUSB0:!dsr). The port is opened without becoming the controlling terminal; its "
        "settings and DTR/RTS are left as they are. A port that goes away is reported (KEY source "
        "lost/found) and the KEY keeps its last level meanwhile. Not with --key-text, --key-script, "
        "--global-keys or --key-rig.",
        "device:line"));
    parser.addOption(QCommandLineOption(
        "key-rig",
        "Read the KEY from a transmitter's PTT through hamlib instead of a keyboard (none is "
        "opened): HOST:PORT for a rigctld, or MODEL:DEVICE[,NAME=VALUE...] for a rig hamlib drives "
        "directly. The KEY is asserted while PTT reads on. A rig that stops answering is reported "
        "(KEY source lost/found) and the KEY keeps its last level meanwhile; one that cannot be "
        "opened at start is exit status 1. Not with --key-text, --key-script, --global-keys or "
        "--key-serial.",
        "rig"));
    parser.addOption(QCommandLineOption(
        "rig-poll-ms",
        "How often --key-rig reads PTT, in ms, a whole number 1..1000 (default 10), on a thread of "
        "its own: the key poll and the keepalives never wait for the rig.",
        "ms", QString::number(DEFAULT_RIG_POLL_MS)));
}

void read_key_line_options(const QCommandLineParser& parser, AgentOptions* o)
{
    o->key_serial_set = parser.isSet("key-serial");
    o->key_serial = parser.value("key-serial");
    o->key_rig_set = parser.isSet("key-rig");
    o->key_rig = parser.value("key-rig");
    o->rig_poll_ms_set = parser.isSet("rig-poll-ms");
    o->rig_poll_ms_text = parser.value("rig-poll-ms");
    o->rig_poll_ms = whole_number(o->rig_poll_ms_text);
}

bool key_line_source(const AgentOptions& o)
{
    return o.key_serial_set || o.key_rig_set;
}

QString key_line_option_error(const AgentOptions& o)
{
    const QString prefix = QStringLiteral("keyline-bench: ");
    if (key_line_source(o)) {
        const QString sources = key_sources_error(key_sources_given(o, true));
        if (!sources.isEmpty())
            return sources;
    }
    if (o.rig_poll_ms_set && !o.key_rig_set)
        return prefix + QStringLiteral("--rig-poll-ms goes with --key-rig");
    if (o.rig_poll_ms < MIN_RIG_POLL_MS || o.rig_poll_ms > MAX_RIG_POLL_MS)
        return prefix + QStringLiteral("--rig-poll-ms must be a whole number %1..%2, not \"%3\"")
                            .arg(MIN_RIG_POLL_MS)
                            .arg(MAX_RIG_POLL_MS)
                            .arg(o.rig_poll_ms_text);
    if (o.key_rig_set) {
        RigAddress address;
        QString why;
        if (!parse_rig_address(o.key_rig, address, why))
            return prefix + QStringLiteral("--key-rig: %1").arg(why);
    }
    if (o.key_serial_set) {
        SerialLineWiring wiring;
        QString why;
        if (!parse_serial_line(o.key_serial, &wiring, &why))
            return prefix + QStringLiteral("--key-serial %1: %2").arg(o.key_serial, why);
    }
    return QString();
}

QString key_line_mode_text(const AgentOptions& o)
{
    if (o.key_serial_set) {
        SerialLineWiring wiring;
        QString why;
        parse_serial_line(o.key_serial, &wiring, &why);
        return QStringLiteral("KEY = %1 of serial port %2 (TIOCMGET level, woken at its edges), %3 "
                              "(no keyboard). q/Esc from this terminal.")
            .arg(wiring.line_name.toUpper(), QString::fromLocal8Bit(wiring.device),
                 wiring.active_low ? QStringLiteral("active low: keyed while low")
                                 : QStringLiteral("active high: keyed while high"));
    }
    return QStringLiteral("KEY = PTT of rig %1 through hamlib, polled every %2 ms (no keyboard). "
                          "q/Esc from this terminal.")
        .arg(o.key_rig)
        .arg(o.rig_poll_ms);
}
