#include "app/agent_options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QHostAddress>

#include "input/key_schedule.h"

const char* const TTL_MS_ERROR = "ttl-ms (hold_timeout_ms) must be 100..30000";

namespace {

const char* const DESCRIPTION =
    "KEY-agent stand-in (docs/TX_INHIBIT.md s3): Hold sender + KEYing monitor.\n"
    "KEY key = left quote / grave ` (not Space - typing won't false-trigger).\n"
    "Break-in CW: hang = 1.5x word gap; continuous KEY: hang 0.\n"
    "Default: KEY only from *this terminal* (other windows ignored).\n"
    "Use --global-keys for system-wide KEY (true agent bench).";

// Digits only (no sign, blank or point), at most nine of them; else -1.
qint32 whole_number(const QString& text)
{
    if (text.isEmpty() || text.size() > 9)
        return -1;
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
    return text.toInt();
}

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
    parser.addOption(QCommandLineOption(
        "json",
        "Write the log as one JSON object per line instead of text, each with \"event\", \"time\" "
        "(local, as in the text log) and \"t_ms\" (ms from the start): start, key_assert, key_open, "
        "hold, keepalive (with --verbose-keepalive), release, keyboard_lost, keyboard_found, "
        "output_dropped, quit."));
    parser.addOption(QCommandLineOption(
        "key-text",
        "Key the text in Morse instead of a keyboard (none is needed or opened): letters, digits "
        "and . , ? / = + - ' \" ( ) : ; @ !; a run of blanks is a word gap. Quits (status 0) "
        "once the last mark's hold is released. Not with --key-script or --global-keys.",
        "text"));
    parser.addOption(QCommandLineOption(
        "wpm", "Speed of --key-text in words per minute, a whole number 5..60 (default 20; PARIS: "
               "dit = 1200/wpm ms).",
        "wpm", "20"));
    parser.addOption(QCommandLineOption(
        "key-script",
        "Key from a script instead of a keyboard: lines \"down MS\" or \"up MS\" (10 ms to 10 "
        "minutes each), blank lines and # comments; - reads it from standard input. Quits "
        "(status 0) once the script has run and its hold is released. Not with --key-text or "
        "--global-keys.",
        "file"));
    parser.addOption(QCommandLineOption(
        "repeat", "Rounds of --key-text or --key-script (default 1; 0 repeats until quit). Texts "
                  "pause 7 dits between rounds, scripts run back to back as written.",
        "n", "1"));
    parser.addOption(QCommandLineOption(
        "record", "Write the KEY's edges, from any source, to a new file as a key script that "
                  "--key-script replays (an existing file is never overwritten).",
        "file"));
    parser.addOption(QCommandLineOption(
        "seed", "Seed of the random draws (faults, fist), a whole number: the same seed with the "
                "same keyed input repeats a run. Default: chosen at start and printed in the banner.",
        "n"));
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
    o.json = parser.isSet("json");
    o.key_text_set = parser.isSet("key-text");
    o.key_text = parser.value("key-text");
    o.key_script_set = parser.isSet("key-script");
    o.key_script = parser.value("key-script");
    o.wpm_set = parser.isSet("wpm");
    o.wpm_text = parser.value("wpm");
    o.wpm = whole_number(o.wpm_text);
    o.repeat_set = parser.isSet("repeat");
    o.repeat_text = parser.value("repeat");
    o.repeat = whole_number(o.repeat_text);
    o.record_set = parser.isSet("record");
    o.record_file = parser.value("record");
    o.seed_set = parser.isSet("seed");
    o.seed_text = parser.value("seed");
    if (o.seed_set) {
        bool ok = false;
        o.seed = o.seed_text.toULongLong(&ok, 10);
        o.seed_valid = ok && !o.seed_text.startsWith(QLatin1Char('+'));
    }
    return o;
}

QString seed_option_error(const AgentOptions& o)
{
    if (!o.seed_set || o.seed_valid)
        return QString();
    return QStringLiteral("keyline-bench: --seed must be a whole number 0..18446744073709551615, not \"%1\"")
        .arg(o.seed_text);
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

bool keyless_source(const AgentOptions& o)
{
    return o.key_text_set || o.key_script_set;
}

QString key_source_option_error(const AgentOptions& o)
{
    const QString prefix = QStringLiteral("keyline-bench: ");
    QStringList sources;
    if (o.key_text_set)
        sources << QStringLiteral("--key-text");
    if (o.key_script_set)
        sources << QStringLiteral("--key-script");
    if (o.global_keys)
        sources << QStringLiteral("--global-keys");
    if (sources.size() > 1)
        return prefix + QStringLiteral("%1 and %2 exclude one another: give one KEY source")
                            .arg(sources[0], sources[1]);
    if (o.wpm_set && (o.wpm < MIN_WPM || o.wpm > MAX_WPM))
        return prefix + QStringLiteral("--wpm must be a whole number %1..%2, not \"%3\"")
                            .arg(MIN_WPM)
                            .arg(MAX_WPM)
                            .arg(o.wpm_text);
    if (o.repeat_set && o.repeat < 0)
        return prefix + QStringLiteral("--repeat must be a whole number, 0 or more, not \"%1\"")
                            .arg(o.repeat_text);
    if (o.wpm_set && !o.key_text_set)
        return prefix + QStringLiteral("--wpm goes with --key-text");
    if (o.repeat_set && !keyless_source(o))
        return prefix + QStringLiteral("--repeat goes with --key-text or --key-script");
    return QString();
}
