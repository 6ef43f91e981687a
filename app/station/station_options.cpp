#include "app/station/station_options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cmath>


#include "common/host_port.h"
#include "rig/rig_address.h"
#include "common/repeated_option.h"
#include "common/whole_number.h"

namespace {

const char* const DESCRIPTION =
    "Stands in for a station's inhibit UDP port: receives the JSON inhibit datagrams\n"
    "that keyline-bench sends, checks each one, keeps the hold each sender would have\n"
    "on the station, and reports holds, releases, lapses, sequence problems and\n"
    "malformed datagrams live and in a summary at the end.\n"
    "\n"
    "A stream is one sender (source address:port). A datagram with ttl_ms > 0 starts\n"
    "or extends its hold until arrival + ttl_ms; ttl_ms 0 releases it. A hold that\n"
    "hears nothing until then LAPSES: the moment a real station would let its\n"
    "transmitter go. Arrivals are judged by the kernel's receive time, and every time\n"
    "on the monotonic clock, so a step of the wall clock changes no verdict. A seq 1\n"
    "from a known sender, 100 ms or more after the first datagram of its run, is a\n"
    "restart: a new run from the same address:port.\n"
    "\n"
    "The run ends on Ctrl-C, SIGTERM or SIGHUP, after --duration, or after --holds\n"
    "holds have ended; then a summary is printed.\n"
    "\n"
    "With --watch-rig or --watch-log (or both) it also watches the station under\n"
    "test: its transmitter's PTT through hamlib, or what its own log says, and\n"
    "judges it against the same model: the station must be inhibited while any\n"
    "stream holds, and has --react-ms to act on each change. TX WHILE HELD,\n"
    "TX BLOCKED (--expect-tx), INHIBIT LATE, INHIBIT EARLY, INHIBIT STUCK and\n"
    "WATCH LOST are problems. What was never observed is never a pass: the summary\n"
    "says 'watch: not judged (...)'.\n"
    "\n"
    "Exit status: 0 nothing was wrong; 1 a lapse, a sequence problem or a malformed\n"
    "datagram was seen, one could not be forwarded, a sender could not be followed\n"
    "(every one of the 256 streams held), fewer holds ended than --expect-holds\n"
    "asks, or the watched station did wrong or was lost; 2 a usage error, the\n"
    "address could not be bound, the --port-file could not be written, a --timeline\n"
    "or --junit file could not be written, or the watched rig or command could not\n"
    "be reached at the start.";

OptionsResult failure(const QString& message)
{
    OptionsResult result;
    result.outcome = OptionsOutcome::Error;
    result.text = QStringLiteral("keyline-station: %1\nTry 'keyline-station --help'.").arg(message);
    return result;
}

}  // namespace

OptionsResult read_station_options(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(DESCRIPTION));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOption(QCommandLineOption(
        {"b", "bind"},
        "Local address to listen on: a numeric IPv4 or IPv6 address (default 127.0.0.1; "
        "0.0.0.0 or :: for every interface).",
        "address", "127.0.0.1"));
    parser.addOption(QCommandLineOption(
        {"p", "port"},
        "UDP port to listen on, 0..65535 (default 22372). 0 asks the system for a free port; "
        "the first line says which.",
        "port", "22372"));
    parser.addOption(QCommandLineOption(
        {"d", "duration"}, "End the run after this many seconds (a number above 0, e.g. 2.5; at most a year).",
        "seconds"));
    parser.addOption(QCommandLineOption(
        {"n", "holds"}, "End the run after this many holds have ended, released or lapsed (1 or more).",
        "count"));
    parser.addOption(QCommandLineOption(
        "expect-holds",
        "The run fails (status 1, a problem in the summary) when fewer than this many holds "
        "have ended by its end (1 or more). With --holds too, the run still ends at --holds.",
        "count"));
    parser.addOption(QCommandLineOption(
        "port-file",
        "Once listening, write the port (a line) to this new file: written whole to a temporary "
        "file and linked into place, so a script can wait for it to exist and read it. "
        "An existing file is never replaced; removed at the end of the run.",
        "file"));
    parser.addOption(QCommandLineOption(
        {"j", "json"},
        "Write each event as one JSON object per line instead of text (the last line is the "
        "summary)."));
    parser.addOption(QCommandLineOption(
        {"V", "verbose"}, "Also report every KEEPALIVE with its interval."));
    parser.addOption(QCommandLineOption(
        {"f", "forward"},
        "Be a tap in front of a real station: forward every datagram received, unchanged and "
        "before it is checked, to this numeric HOST:PORT (IPv6 as [addr]:port), each sender's "
        "from a socket of its own. A failed forward is reported at most once a second per "
        "sender and counted (forward_errors); datagrams the kernel dropped before the tap read "
        "them are counted too (kernel_drops), a problem.",
        "host:port"));
    parser.addOption(QCommandLineOption(
        "vcd",
        "Write each stream as waveforms to a new file, a Value Change Dump (IEEE 1364) for "
        "GTKWave, PulseView or sigrok-cli: the hold, and a 1 us pulse per arrival, lapse, "
        "sequence problem and malformed datagram; the first 16 senders get wires (s0..s15); "
        "times in us from the start (an existing file is never overwritten).",
        "file"));
    parser.addOption(QCommandLineOption(
        "timeline",
        "When the run ends (also on Ctrl-C, SIGTERM or SIGHUP), write a picture of it to this SVG "
        "file: a lane per stream with its hold, arrivals, lapses, sequence problems and malformed "
        "datagrams on a wall-time axis, and the summary. A new file, or an existing regular one, "
        "replaced at the end (never a link, a FIFO or a device).",
        "file.svg"));
    parser.addOption(QCommandLineOption(
        "junit",
        "When the run ends, write a JUnit XML report for CI to this file: a testsuite per stream, a "
        "testcase per hold (a lapse fails it), and a case per stream each for sequence problems and "
        "malformed datagrams; every reason the run fails is a failing case. A new file, or an "
        "existing regular one, replaced at the end (never a link, a FIFO or a device).",
        "file"));

    parser.addOption(QCommandLineOption(
        "watch-rig",
        "Watch the station under test's transmitter: poll its PTT through hamlib. RIG is "
        "HOST:PORT, a rigctld (hamlib's NET rigctl model, so the station and this program share "
        "the rig), or MODEL:DEVICE[,NAME=VALUE...], a rig hamlib drives itself (e.g. "
        "3073:/dev/ttyUSB0,serial_speed=19200). hamlib's PTT cache is turned off: every poll asks "
        "the rig. A rig that cannot be read at the start is status 2.",
        "RIG"));
    parser.addOption(QCommandLineOption("list-rigs", "List the rig models hamlib knows (for --watch-rig) and exit."));
    parser.addOption(QCommandLineOption(
        "watch-poll-ms", "How often --watch-rig reads the PTT, in ms: 1..1000 (default 10).", "N", "10"));
    parser.addOption(QCommandLineOption(
        "watch-log",
        "Watch the station under test's own log: run CMD under /bin/sh -c (e.g. 'tail -F "
        "station.log' or 'journalctl -f -u mystation -o cat') and read its output line by "
        "line, each stamped on arrival. Needs --inhibited and --free. A command that cannot "
        "run at all is status 2; one that ends later is WATCH LOST.",
        "CMD"));
    parser.addOption(QCommandLineOption(
        "inhibited",
        "With --watch-log: a line matching this regular expression (QRegularExpression, "
        "Perl-like) says the station is inhibited now. Checked first.",
        "RE"));
    parser.addOption(QCommandLineOption(
        "free", "With --watch-log: a line matching this regular expression says the station is free now.",
        "RE"));
    parser.addOption(QCommandLineOption(
        "react-ms",
        "How long the watched station may take to act on a datagram or an expiry, in ms: 0..10000 "
        "(default 50). Nothing is judged in that time after each change.",
        "N", "50"));
    parser.addOption(QCommandLineOption(
        "expect-tx",
        "With --watch-rig: the station transmits whenever it may, so its PTT still reading off "
        "--react-ms after an inhibit ended is TX BLOCKED (it kept an inhibit it should have "
        "dropped). Without it nothing is claimed about that direction."));
    parser.addOption(QCommandLineOption(
        "expect-watch",
        "Anything the watch could not judge (a direction never observed, e.g. the PTT never "
        "read on) is a problem, not only a note in the summary."));

    OptionsResult result;
    if (!parser.parse(arguments))
        return failure(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return failure(QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));
    const QString repeated = repeated_option_error(parser);
    if (!repeated.isEmpty())
        return failure(repeated);
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        result.outcome = OptionsOutcome::Help;
        result.text = parser.helpText();
        return result;
    }
    if (parser.isSet(version)) {
        result.outcome = OptionsOutcome::Version;
        result.text = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                    QCoreApplication::applicationVersion());
        return result;
    }

    StationOptions& o = result.options;
    if (parser.isSet("list-rigs")) {
        result.outcome = OptionsOutcome::ListRigs;
        return result;
    }
    o.bind_text = parser.value("bind");
    if (!o.bind_address.setAddress(o.bind_text) || o.bind_address.isNull())
        return failure(QStringLiteral("--bind must be a numeric IPv4 or IPv6 address: %1").arg(o.bind_text));

    const QString port = parser.value("port");
    if (whole_number_in(port, 0, 65535) < 0)
        return failure(QStringLiteral("--port must be a whole number 0..65535: %1").arg(port));
    o.port = static_cast<quint16>(port.toUInt());

    if (parser.isSet("duration")) {
        const QString text = parser.value("duration");
        bool ok = false;
        const double seconds = text.toDouble(&ok);
        // Up to a year, so the milliseconds always fit.
        if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > 366.0 * 86400)
            return failure(QStringLiteral("--duration must be a number of seconds above 0, at most a year: %1").arg(text));
        o.duration_ms = qMax<qint64>(1, static_cast<qint64>(std::ceil(seconds * 1000)));
    }
    if (parser.isSet("holds")) {
        const QString text = parser.value("holds");
        o.holds = whole_number_in(text, 1, 999999999);
        if (o.holds < 0)
            return failure(QStringLiteral("--holds must be a whole number, 1 or more: %1").arg(text));
    }
    if (parser.isSet("expect-holds")) {
        const QString text = parser.value("expect-holds");
        o.expect_holds = whole_number_in(text, 1, 999999999);
        if (o.expect_holds < 0)
            return failure(QStringLiteral("--expect-holds must be a whole number, 1 or more: %1").arg(text));
    }
    if (parser.isSet("port-file")) {
        o.port_file = parser.value("port-file");
        if (o.port_file.isEmpty())
            return failure(QStringLiteral("--port-file needs a file name"));
    }
    if (parser.isSet("forward")) {
        o.forward = true;
        o.forward_text = parser.value("forward");
        if (!parse_host_port(o.forward_text, &o.forward_address, &o.forward_port))
            return failure(QStringLiteral("--forward must be a numeric IPv4 address and port (HOST:PORT) "
                                          "or [IPv6]:PORT, port 1..65535: %1")
                               .arg(o.forward_text));
    }
    o.json = parser.isSet("json");
    o.verbose = parser.isSet("verbose");
    if (parser.isSet("vcd")) {
        o.vcd_file = parser.value("vcd");
        if (o.vcd_file.isEmpty())
            return failure(QStringLiteral("--vcd needs a file name"));
    }
    o.watch.rig = parser.value("watch-rig");
    o.watch.log = parser.value("watch-log");
    o.watch.inhibited_re = parser.value("inhibited");
    o.watch.free_re = parser.value("free");
    if (parser.isSet("watch-rig")) {
        RigAddress address;
        QString error;
        if (!parse_rig_address(o.watch.rig, address, error))
            return failure(QStringLiteral("--watch-rig: %1").arg(error));
    }
    QString poll_error;
    if (!read_watch_poll_ms(parser.value("watch-poll-ms"), &o.watch.poll_ms, &poll_error))
        return failure(poll_error);
    const QString react = parser.value("react-ms");
    o.watch.react_ms = whole_number_in(react, 0, 10000);
    if (o.watch.react_ms < 0)
        return failure(QStringLiteral("--react-ms must be a whole number 0..10000: %1").arg(react));
    if (parser.isSet("watch-log")) {
        if (o.watch.log.trimmed().isEmpty())
            return failure(QStringLiteral("--watch-log needs a command"));
        if (!parser.isSet("inhibited") || !parser.isSet("free"))
            return failure(QStringLiteral("--watch-log needs both --inhibited RE and --free RE"));
        for (const char* name : {"inhibited", "free"}) {
            const QString problem = watch_expression_problem(parser.value(QLatin1String(name)));
            if (!problem.isEmpty())
                return failure(QStringLiteral("--%1 is not a regular expression: %2 (%3)")
                                   .arg(QLatin1String(name), parser.value(QLatin1String(name)), problem));
        }
    } else if (parser.isSet("inhibited") || parser.isSet("free")) {
        return failure(QStringLiteral("--inhibited and --free go with --watch-log"));
    }
    o.watch.expect_tx = parser.isSet("expect-tx");
    if (o.watch.expect_tx && !parser.isSet("watch-rig"))
        return failure(QStringLiteral("--expect-tx goes with --watch-rig"));
    if (parser.isSet("watch-poll-ms") && !parser.isSet("watch-rig"))
        return failure(QStringLiteral("--watch-poll-ms goes with --watch-rig"));
    o.expect_watch = parser.isSet("expect-watch");
    const bool watch = parser.isSet("watch-rig") || parser.isSet("watch-log");
    if (!watch && (o.expect_watch || parser.isSet("react-ms")))
        return failure(QStringLiteral("--%1 goes with --watch-rig or --watch-log")
                           .arg(o.expect_watch ? QStringLiteral("expect-watch") : QStringLiteral("react-ms")));
    o.timeline_file = parser.value("timeline");
    o.junit_file = parser.value("junit");
    for (const char* name : {"timeline", "junit"})
        if (parser.isSet(QLatin1String(name)) && parser.value(QLatin1String(name)).isEmpty())
            return failure(QStringLiteral("--%1 needs a file name").arg(QLatin1String(name)));
    // "-" is not standard output here: it would be a file of that name.
    for (const char* name : {"port-file", "vcd", "timeline", "junit"})
        if (parser.value(QLatin1String(name)) == QLatin1String("-"))
            return failure(QStringLiteral("--%1 -: the file is not standard output (the run's log); "
                                          "give a file name (./- for a file named -)")
                               .arg(QLatin1String(name)));
    return result;
}

std::vector<OutputPath> station_outputs(const StationOptions& o)
{
    return {{QStringLiteral("--port-file"), o.port_file, OutputKind::New},
            {QStringLiteral("--vcd"), o.vcd_file, OutputKind::New},
            {QStringLiteral("--timeline"), o.timeline_file, OutputKind::RegularOrNew},
            {QStringLiteral("--junit"), o.junit_file, OutputKind::RegularOrNew}};
}
