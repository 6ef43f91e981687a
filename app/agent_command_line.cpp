#include "app/agent_command_line.h"

#include <cstdint>

#include <QCommandLineOption>
#include <QCommandLineParser>

#include "app/cw_options.h"
#include "app/key_line_options.h"

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
    parser.addOption(QCommandLineOption({"H", "host"}, "Ostrel station host (default 127.0.0.1). The Ostrel station is the station "
                                        "application that receives the inhibit datagrams and keeps its own "
                                        "transmitter inhibited while a hold lasts. A numeric IPv4 or IPv6 address.",
                                        "host", "127.0.0.1"));
    parser.addOption(QCommandLineOption({"p", "port"}, "Inhibit UDP port (default 22372), a whole number 0..65535 (0 is "
                                        "accepted: every send then fails, which tries the failure path).", "port",
                                        QString::number(22372)));
    parser.addOption(QCommandLineOption({"s", "station"}, "Badge station id (default TEST-KEY): the badge is the name this "
                                        "sender is known by at the station, sent as each datagram's station "
                                        "field. Station and band must keep a datagram within 2048 bytes.", "name", "TEST-KEY"));
    parser.addOption(QCommandLineOption({"b", "band"}, "Band field (informational) (default 144).", "band", "144"));
    parser.addOption(QCommandLineOption({"t", "ttl-ms"},
                                        "ttl_ms: hold_timeout_ms on hold/keepalive packets (default 600), "
                                        "100..30000; under 200 ms (the keepalive period) every hold lapses "
                                        "between keepalives, which the banner warns about.", "ms",
                                        QString::number(600)));
    parser.addOption(QCommandLineOption(
        "fixed-hang-ms", "Override hang after KEY open (ms). Omit for KEYing-monitor hang. "
        "A whole number -2147483648..2147483647; 0 or less releases at once.", "ms"));
    parser.addOption(QCommandLineOption(
        "global-keys", "Read grave/` KEY system-wide (other windows can trigger). Not default."));
    parser.addOption(QCommandLineOption(
        "verbose-keepalive", "Log every keepalive (default: HOLD, KEY events, RELEASE only)."));
    parser.addOption(QCommandLineOption(
        "json",
        "Write the log as one JSON object per line instead of text, each with \"event\", \"time\" "
        "(local, as in the text log) and \"t_ms\" (ms from the start): start, key_assert, key_open, "
        "hold, keepalive (with --verbose-keepalive), release, keyboard_lost, keyboard_found, "
        "key_source_lost, key_source_found, output_dropped, quit."));
    parser.addOption(QCommandLineOption(
        "key-text",
        "Key the text in Morse instead of a keyboard (none is needed or opened): letters, digits, "
        "\u00c9 and . , ? / = + - ' \" ( ) : @, also ; and ! (not ITU); a prosign in angle "
        "brackets (<AR>, <SK>, <BT>, <KN>, <AS>, <SOS>, any <LETTERS>) is keyed as one character; "
        "a run of blanks is a word gap. Quits (status 0) once the last mark's hold is released. "
        "Not with --key-script or --global-keys.",
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
                  "pause 7 dits between rounds, scripts run back to back as written. A repeated "
                  "script that begins and ends with the KEY down is warned about (FILE:LINE), not "
                  "refused: its last mark then runs into the next round's first, which may be meant "
                  "(and older recordings end so); a closing \"up\" line keys the rounds apart. "
                  "A script of only \"up\" lines is refused with 0.",
        "n", "1"));
    parser.addOption(QCommandLineOption(
        "record", "Write the KEY's edges, from any source, to a new file as a key script that "
                  "--key-script replays (an existing file is never overwritten; not -, which is "
                  "the log). It ends with an \"up\" line of at least one word gap at the end of the "
                  "run, so that a replay with --repeat keeps the rounds words apart.",
        "file"));
    parser.addOption(QCommandLineOption(
        "vcd", "Write the run as waveforms to a new file, a Value Change Dump (IEEE 1364) for "
               "GTKWave, PulseView or sigrok-cli: KEY, latch, hold, and a 1 us pulse per datagram "
               "sent (one wire per kind) and per fault; times in us from the start (an existing "
               "file is never overwritten).",
        "file"));
    parser.addOption(QCommandLineOption(
        "seed", "Seed of the random draws (faults, fist), a whole number: the same seed with the "
                "same keyed input repeats a run. Default: chosen at start and printed in the banner.",
        "n"));
    parser.addOption(QCommandLineOption(
        "fault",
        "Provoke a failure the station must survive (repeatable; KIND is hold, keepalive or "
        "release, all kinds when left out; P is a percentage 0..100): loss=P[:KIND] drops at "
        "random; drop=KIND[:N[-M]] drops the Nth (to Mth) of that kind in each hold, every one "
        "without N; duplicate=P[:KIND][@MS] sends twice (the copy MS ms later); reorder=P[:KIND] "
        "sends it after the next one (a RELEASE only when named: after the next hold's HOLD); delay=MS[~JITTER] sends every datagram late; corrupt=P[:KIND] "
        "flips one bit; mute=MS sends nothing more of a hold after MS ms. Each fault is a "
        "FAULT line; a count follows \"quit\".",
        "fault"));
    parser.addOption(QCommandLineOption(
        "also",
        "Also send every datagram, after the faults, to this numeric HOST:PORT (IPv6 as "
        "[addr]:port); repeatable, up to 8.",
        "host:port"));
    add_cw_options(parser);
    add_key_line_options(parser);
}

AgentOptions read_agent_options(const QCommandLineParser& parser)
{
    AgentOptions o;
    o.host = parser.value("host");
    o.port_text = parser.value("port");
    bool port_ok = false;
    const uint port = o.port_text.toUInt(&port_ok, 10);
    o.port_valid = port_ok && port <= 65535;
    o.port = o.port_valid ? static_cast<quint16>(port) : 0;
    o.station = parser.value("station");
    o.band = parser.value("band");
    o.ttl_text = parser.value("ttl-ms");
    o.ttl_ms = o.ttl_text.toInt(nullptr, 10);
    o.fixed_hang_set = parser.isSet("fixed-hang-ms");
    if (o.fixed_hang_set) {
        o.fixed_hang_text = parser.value("fixed-hang-ms");
        bool hang_ok = false;
        const qlonglong hang = o.fixed_hang_text.toLongLong(&hang_ok, 10);
        o.fixed_hang_valid = hang_ok && hang >= INT32_MIN && hang <= INT32_MAX;
        o.fixed_hang_ms = o.fixed_hang_valid ? static_cast<qint32>(hang) : 0;
    }
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
    o.fault_texts = parser.values("fault");
    o.also_texts = parser.values("also");
    o.vcd_set = parser.isSet("vcd");
    o.vcd_file = parser.value("vcd");
    o.seed_set = parser.isSet("seed");
    o.seed_text = parser.value("seed");
    if (o.seed_set) {
        bool ok = false;
        o.seed = o.seed_text.toULongLong(&ok, 10);
        o.seed_valid = ok && !o.seed_text.startsWith(QLatin1Char('+'));
    }
    read_cw_options(parser, &o);
    read_key_line_options(parser, &o);
    return o;
}
