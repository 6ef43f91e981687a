// A KEY read from a serial modem line or a rig: the DEVICE:LINE text, the
// level of each line either way round, the reading a tick takes (stamped at
// the poll, kept through a loss), its loss and return said once each on the
// event stream, and the options' refusals.

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <QCommandLineParser>

#include "app/agent_command_line.h"
#include "app/key_line_options.h"
#include "app/key_line_report.h"
#include "input/serial_line.h"
#include "monitor/key_line.h"
#include "bench_test_events.h"

namespace {

AgentOptions parse(QStringList args)
{
    args.prepend("keyline-bench");
    QCommandLineParser parser;
    add_agent_options(parser);
    EXPECT_TRUE(parser.parse(args)) << parser.errorText().toStdString();
    return read_agent_options(parser);
}

TEST(SerialLine, ParsesEachLineEitherWayRound)
{
    struct Case {
        const char* text;
        const char* device;
        int mask;
        bool active_low;
    };
    const Case cases[] = {
        {"/dev/ttyUSB0:cts", "/dev/ttyUSB0", TIOCM_CTS, false},
        {"/dev/ttyUSB0:!dsr", "/dev/ttyUSB0", TIOCM_DSR, true},
        {"/dev/serial/by-id/usb-FTDI:x-if00:DCD", "/dev/serial/by-id/usb-FTDI:x-if00", TIOCM_CAR, false},
        {"/dev/ttyS0:!ri", "/dev/ttyS0", TIOCM_RNG, true},
    };
    for (const Case& c : cases) {
        SerialLineWiring wiring;
        QString why;
        ASSERT_TRUE(parse_serial_line(QString::fromLatin1(c.text), &wiring, &why)) << c.text;
        EXPECT_EQ(wiring.device, QByteArray(c.device)) << c.text;
        EXPECT_EQ(wiring.mask, c.mask) << c.text;
        EXPECT_EQ(wiring.active_low, c.active_low) << c.text;
        // Keyed while the line is high, or while it is low.
        EXPECT_EQ(serial_key_level(wiring, c.mask | TIOCM_DTR), !c.active_low) << c.text;
        EXPECT_EQ(serial_key_level(wiring, TIOCM_DTR | TIOCM_RTS), c.active_low) << c.text;
    }
    for (const char* bad : {"/dev/ttyUSB0", "/dev/ttyUSB0:", "/dev/ttyUSB0:rts", "/dev/ttyUSB0:!!cts",
                            ":cts", "/dev/ttyUSB0:dtr"}) {
        SerialLineWiring wiring;
        QString why;
        EXPECT_FALSE(parse_serial_line(QString::fromLatin1(bad), &wiring, &why)) << bad;
        EXPECT_FALSE(why.isEmpty());
    }
}

TEST(KeyLine, StampsAtTheReadingAndKeepsTheLevelThroughALoss)
{
    LineReading next;
    KeyLine line;
    line.read = [&next](qint64) { return next; };
    qint64 at = 0;

    next = {true, true, 60};  // a poll at 60 ms that the rig answered at 100
    EXPECT_TRUE(read_key_line(line, 100, &at));
    EXPECT_EQ(at, 60);
    EXPECT_FALSE(line.lost);

    next = {true, false, 50};  // never stamped before the reading before it
    EXPECT_FALSE(read_key_line(line, 110, &at));
    EXPECT_EQ(at, 60);

    next = {true, true, -1};  // no time of its own: the tick's
    EXPECT_TRUE(read_key_line(line, 120, &at));
    EXPECT_EQ(at, 120);

    next = {false, false, -1};  // gone: the last level stays
    EXPECT_TRUE(read_key_line(line, 130, &at));
    EXPECT_TRUE(line.lost);
    next = {true, false, 140};
    EXPECT_FALSE(read_key_line(line, 140, &at));
    EXPECT_FALSE(line.lost);
}

TEST(KeyLineOptions, Refusals)
{
    struct Case {
        QStringList args;
        const char* error;  // empty: accepted
    };
    const Case cases[] = {
        {{"--key-serial", "/dev/ttyUSB0:cts"}, ""},
        {{"--key-rig", "127.0.0.1:4532", "--rig-poll-ms", "1000"}, ""},
        {{"--key-rig", "127.0.0.1:4532", "--rig-poll-ms", "0"},
         "keyline-bench: --rig-poll-ms must be a whole number 1..1000, not \"0\""},
        {{"--key-rig", "127.0.0.1:4532", "--rig-poll-ms", "1001"},
         "keyline-bench: --rig-poll-ms must be a whole number 1..1000, not \"1001\""},
        {{"--rig-poll-ms", "5"}, "keyline-bench: --rig-poll-ms goes with --key-rig"},
        {{"--key-rig", "127.0.0.1:4532", "--global-keys"},
         "keyline-bench: --key-rig and --global-keys exclude one another: give one KEY source"},
        {{"--key-script", "x", "--key-rig", "127.0.0.1:4532"},
         "keyline-bench: --key-rig and --key-script exclude one another: give one KEY source"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(key_line_option_error(parse(c.args)), QString::fromLatin1(c.error)) << c.args.join(' ').toStdString();
}

}  // namespace

TEST(KeyLineReport, SaysALossOnceAndTheReturnOnceAfterIt)
{
    QString err_text;
    QTextStream out{stdout}, err{&err_text};
    TestEvents test;
    KeyLineReport report;
    report.source = QStringLiteral("/dev/ttyUSB0:CTS");
    report.until = "the port is back";
    report.events = test.attach(&out, &err);

    report_key_source_found(report);  // nothing was lost
    report_key_source_lost(report, QStringLiteral("Input/output error"));
    report_key_source_lost(report, QStringLiteral("Input/output error"));
    report_key_source_found(report);
    report_key_source_found(report);

    ASSERT_EQ(test.seen.size(), 2u);
    EXPECT_EQ(test.seen[0].kind, BenchEventKind::KeySourceLost);
    EXPECT_EQ(test.seen[1].kind, BenchEventKind::KeySourceFound);
    const QStringList lines = err_text.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0].mid(12), "  KEY source lost: /dev/ttyUSB0:CTS (Input/output error); "
                                "the KEY keeps its last level until the port is back");
    EXPECT_EQ(lines[1].mid(12), "  KEY source found: /dev/ttyUSB0:CTS");
}
