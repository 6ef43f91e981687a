#include "app/agent_options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QHostAddress>

const char* const TTL_MS_ERROR = "ttl-ms (hold_timeout_ms) must be 100..30000";

namespace {

const char* const DESCRIPTION =
    "KEY-agent stand-in (docs/TX_INHIBIT.md s3): Hold sender + KEYing monitor.\n"
    "KEY key = left quote / grave ` (not Space - typing won't false-trigger).\n"
    "Break-in CW: hang = 1.5x word gap; continuous KEY: hang 0.\n"
    "Default: KEY only from *this terminal* (other windows ignored).\n"
    "Use --global-keys for system-wide KEY (true agent bench).";

}  // namespace

void add_agent_options(QCommandLineParser& parser)
{
    parser.setApplicationDescription(QString::fromLatin1(DESCRIPTION));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption({"H", "host"}, "Ostrel station host (default 127.0.0.1)",
                                        "host", "127.0.0.1"));
    parser.addOption(QCommandLineOption({"p", "port"}, "Inhibit UDP port (default 22372)", "port",
                                        QString::number(22372)));
    parser.addOption(QCommandLineOption({"s", "station"}, "Badge station id", "name", "TEST-KEY"));
    parser.addOption(QCommandLineOption({"b", "band"}, "Band field (informational)", "band", "144"));
    parser.addOption(QCommandLineOption({"t", "ttl-ms"},
                                        "hold_timeout_ms on hold/keepalive packets (default 600)", "ms",
                                        QString::number(600)));
    parser.addOption(QCommandLineOption(
        "fixed-hang-ms", "Override hang after KEY open (ms). Omit for KEYing-monitor hang.", "ms"));
    parser.addOption(QCommandLineOption(
        "global-keys", "Read grave/` KEY system-wide (other windows can trigger). Not default."));
    parser.addOption(QCommandLineOption(
        "verbose-keepalive", "Log every keepalive (default: HOLD, KEY events, RELEASE only)."));
}

AgentOptions read_agent_options(const QCommandLineParser& parser)
{
    AgentOptions o;
    o.host = parser.value("host");
    // No range check: the number is taken modulo 65536, 0 when it does not parse.
    o.port = static_cast<quint16>(parser.value("port").toUInt(nullptr, 10));
    o.station = parser.value("station");
    o.band = parser.value("band");
    o.ttl_ms = parser.value("ttl-ms").toInt(nullptr, 10);
    o.fixed_hang_set = parser.isSet("fixed-hang-ms");
    o.fixed_hang_ms = o.fixed_hang_set ? parser.value("fixed-hang-ms").toInt(nullptr, 10) : 0;
    o.global_keys = parser.isSet("global-keys");
    o.verbose_keepalive = parser.isSet("verbose-keepalive");
    return o;
}

bool ttl_ms_valid(qint32 ttl_ms)
{
    return ttl_ms >= 100 && ttl_ms <= 30000;
}

bool host_is_numeric_address(const QString& host)
{
    // A name would become a null address, which Qt sends to the local machine
    // while reporting success: the station would never hear a thing.
    QHostAddress address;
    return address.setAddress(host) && !address.isNull();
}

QString host_error_text(const QString& host)
{
    return QStringLiteral("keyline-bench: --host must be a numeric IPv4 or IPv6 address: %1").arg(host);
}
