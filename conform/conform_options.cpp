#include "conform/conform_options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include "common/host_port.h"
#include "common/whole_number.h"
#include "conform/scenarios.h"

namespace {

const char* const DESCRIPTION =
    "Checks a station application against every MUST of the transmitter-inhibit\n"
    "protocol, one scenario at a time. It is the KEY agent: it sends the inhibit\n"
    "datagrams itself to the station's --station HOST:PORT, each scenario from fresh\n"
    "source sockets, with the payload keyline-bench sends. It watches what the\n"
    "station does, through its transmitter's PTT (--watch-rig, hamlib) or its own\n"
    "log (--watch-log), and judges that against what a correct station holds: the\n"
    "model keyline-station keeps. A station has --react-ms to act on a datagram or\n"
    "an expiry. What was not seen is never a pass: a scenario whose MUST could not\n"
    "be observed is NOT JUDGED.\n"
    "\n"
    "Prints a line per scenario as it ends (PASS, FAIL or NOT JUDGED), then\n"
    "\"conformance: N of M passed, F failed, J not judged\". --list shows the\n"
    "scenarios, the section of docs/TX_INHIBIT.md each checks and its length.\n"
    "\n"
    "Exit status: 0 every scenario selected passed; 1 one failed or was not judged;\n"
    "2 it cannot run (a bad option, the watch cannot start, a report file cannot be\n"
    "written).";

ConformOptionsResult failure(const QString& message)
{
    ConformOptionsResult result;
    result.outcome = ConformOutcome::Error;
    result.text = QStringLiteral("keyline-conform: %1\nTry 'keyline-conform --help'.").arg(message);
    return result;
}

QString scenario_names()
{
    QStringList names;
    for (const Scenario& scenario : conform_scenarios())
        names << scenario.name;
    return names.join(QLatin1Char(','));
}

}  // namespace

ConformOptionsResult read_conform_options(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(DESCRIPTION));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOption(QCommandLineOption(
        {"s", "station"},
        "The station's inhibit port: a numeric IPv4 address and port (HOST:PORT) or [IPv6]:PORT.",
        "host:port"));
    parser.addOption(QCommandLineOption(
        "watch-rig",
        "Watch the station's transmitter through hamlib: HOST:PORT of a rigctld, or "
        "MODEL:DEVICE[,NAME=VALUE...] for a rig hamlib drives directly.",
        "rig"));
    parser.addOption(QCommandLineOption(
        "expect-tx",
        "With --watch-rig: the station transmits whenever it may, so a PTT still off react-ms after "
        "the inhibit ended is a failure, and a station that never transmits is not judged."));
    parser.addOption(QCommandLineOption(
        "watch-log",
        "Watch the station's own log: run this command under /bin/sh -c and read its output "
        "line by line (e.g. 'tail -F station.log').",
        "command"));
    parser.addOption(QCommandLineOption(
        "inhibited", "With --watch-log: a line matching this regular expression says the station is inhibited.",
        "regex"));
    parser.addOption(QCommandLineOption(
        "free", "With --watch-log: a line matching this regular expression says the station is free.", "regex"));
    parser.addOption(QCommandLineOption(
        "react-ms",
        QStringLiteral("The time a station is allowed to act on a datagram or an expiry, 1..2000 (default %1).")
            .arg(CONFORM_DEFAULT_REACT_MS),
        "ms"));
    parser.addOption(QCommandLineOption(
        "watch-poll-ms", "With --watch-rig: poll the PTT this often, 1..1000 ms (default 10).", "ms"));
    parser.addOption(QCommandLineOption(
        "only", "Run only these scenarios (names as --list shows them, comma-separated), in the table's order.",
        "name,..."));
    parser.addOption(QCommandLineOption(
        "list", "Print each scenario's name, the section of docs/TX_INHIBIT.md it checks and how long it "
                "takes, then exit."));
    parser.addOption(QCommandLineOption(
        {"j", "json"}, "Write each scenario's verdict and the summary as JSON lines instead of text."));
    parser.addOption(QCommandLineOption(
        "junit",
        "Write a JUnit XML report to this file: one testcase per scenario, named after it; a failure "
        "carries the measured offsets. The file is replaced.",
        "file"));
    parser.addOption(QCommandLineOption(
        "timeline",
        "Write a picture of the run to this SVG file: the scenarios as sections, the model's inhibit and "
        "the station's observed state as two lanes. The file is replaced.",
        "file.svg"));
    parser.addOption(QCommandLineOption(
        "vcd",
        "Write the run as waveforms to a new file, a Value Change Dump (IEEE 1364): a pulse per "
        "datagram sent, the model's inhibit and the observed state (an existing file is never "
        "overwritten).",
        "file"));

    ConformOptionsResult result;
    if (!parser.parse(arguments))
        return failure(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return failure(QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));
    if (parser.isSet(help)) {
        result.outcome = ConformOutcome::Help;
        result.text = parser.helpText();
        return result;
    }
    if (parser.isSet(version)) {
        result.outcome = ConformOutcome::Version;
        result.text = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                    QCoreApplication::applicationVersion());
        return result;
    }

    ConformOptions& o = result.options;
    o.list = parser.isSet("list");
    o.json = parser.isSet("json");
    if (parser.isSet("only")) {
        for (const QString& name : parser.value("only").split(QLatin1Char(','), Qt::SkipEmptyParts))
            o.only << name.trimmed();
        QStringList unknown;
        select_scenarios(o.only, &unknown);
        if (o.only.isEmpty())
            return failure(QStringLiteral("--only needs at least one scenario name"));
        if (!unknown.isEmpty())
            return failure(QStringLiteral("--only: no such scenario: %1 (the scenarios: %2)")
                               .arg(unknown.join(QStringLiteral(", ")), scenario_names()));
    }
    if (parser.isSet("react-ms")) {
        const QString text = parser.value("react-ms");
        o.watch.react_ms = whole_number_in(text, 1, 2000);
        if (o.watch.react_ms < 0)
            return failure(QStringLiteral("--react-ms must be a whole number 1..2000: %1").arg(text));
    }
    if (o.list)
        return result;  // nothing else is needed to list

    if (!parser.isSet("station"))
        return failure(QStringLiteral("--station HOST:PORT is required"));
    o.station_text = parser.value("station");
    if (!parse_host_port(o.station_text, &o.station_address, &o.station_port))
        return failure(QStringLiteral("--station must be a numeric IPv4 address and port (HOST:PORT) "
                                      "or [IPv6]:PORT, port 1..65535: %1")
                           .arg(o.station_text));

    const bool rig = parser.isSet("watch-rig");
    const bool log = parser.isSet("watch-log");
    if (rig == log)
        return failure(QStringLiteral("give one watch: --watch-rig RIG or --watch-log CMD --inhibited RE --free RE"));
    if (rig) {
        o.watch.rig = parser.value("watch-rig");
        if (o.watch.rig.isEmpty())
            return failure(QStringLiteral("--watch-rig needs a rig"));
        o.watch.expect_tx = parser.isSet("expect-tx");
        QString poll_error;
        if (parser.isSet("watch-poll-ms") &&
            !read_watch_poll_ms(parser.value("watch-poll-ms"), &o.watch.poll_ms, &poll_error))
            return failure(poll_error);
        for (const char* name : {"inhibited", "free"})
            if (parser.isSet(QLatin1String(name)))
                return failure(QStringLiteral("--%1 goes with --watch-log").arg(QLatin1String(name)));
    } else {
        o.watch.log = parser.value("watch-log");
        if (o.watch.log.isEmpty())
            return failure(QStringLiteral("--watch-log needs a command"));
        if (parser.isSet("expect-tx") || parser.isSet("watch-poll-ms"))
            return failure(QStringLiteral("--expect-tx and --watch-poll-ms go with --watch-rig"));
        if (!parser.isSet("inhibited") || !parser.isSet("free"))
            return failure(QStringLiteral("--watch-log needs --inhibited RE and --free RE"));
        o.watch.inhibited_re = parser.value("inhibited");
        o.watch.free_re = parser.value("free");
        for (const QString& re : {o.watch.inhibited_re, o.watch.free_re}) {
            const QString problem = watch_expression_problem(re);
            if (!problem.isEmpty())
                return failure(QStringLiteral("not a usable regular expression: %1%2")
                                   .arg(re, re.isEmpty() ? QString() : QStringLiteral(" (") + problem + QLatin1Char(')')));
        }
    }
    o.junit_file = parser.value("junit");
    o.timeline_file = parser.value("timeline");
    o.vcd_file = parser.value("vcd");
    for (const char* name : {"junit", "timeline", "vcd"})
        if (parser.isSet(QLatin1String(name)) && parser.value(QLatin1String(name)).isEmpty())
            return failure(QStringLiteral("--%1 needs a file name").arg(QLatin1String(name)));
    return result;
}
