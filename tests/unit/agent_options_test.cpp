// Option conversion, validation and the banner.

#include <gtest/gtest.h>

#include "qt_test_app.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include "app/agent_command_line.h"
#include "app/banner.h"

namespace {

AgentOptions parse(QStringList args)
{
    args.prepend("keyline-bench");
    QCommandLineParser parser;
    add_agent_options(parser);
    EXPECT_TRUE(parser.parse(args)) << parser.errorText().toStdString();
    return read_agent_options(parser);
}

}  // namespace

TEST(AgentOptions, DefaultsWhenNothingIsGiven)
{
    const AgentOptions o = parse({});
    EXPECT_EQ(o.host, "127.0.0.1");
    EXPECT_EQ(o.port, 22372);
    EXPECT_EQ(o.station, "TEST-KEY");
    EXPECT_EQ(o.band, "144");
    EXPECT_EQ(o.ttl_ms, 600);
    EXPECT_FALSE(o.fixed_hang_set);
    EXPECT_EQ(o.fixed_hang_ms, 0);
    EXPECT_FALSE(o.global_keys);
    EXPECT_FALSE(o.verbose_keepalive);
}

TEST(AgentOptions, ShortAndLongNames)
{
    const AgentOptions o = parse({"-H", "::1", "-p", "5000", "-s", "ST-1", "-b", "432", "-t", "1000",
                                  "--fixed-hang-ms", "250", "--global-keys", "--verbose-keepalive"});
    EXPECT_EQ(o.host, "::1");
    EXPECT_EQ(o.port, 5000);
    EXPECT_EQ(o.station, "ST-1");
    EXPECT_EQ(o.band, "432");
    EXPECT_EQ(o.ttl_ms, 1000);
    EXPECT_TRUE(o.fixed_hang_set);
    EXPECT_EQ(o.fixed_hang_ms, 250);
    EXPECT_TRUE(o.global_keys);
    EXPECT_TRUE(o.verbose_keepalive);
}

TEST(AgentOptions, PortAndFixedHangAreCheckedAndGoodValuesKeepTheirMeaning)
{
    const struct {
        QStringList args;
        const char* error;  // empty: accepted
    } cases[] = {
        {{"--port", "65535"}, ""},
        {{"--port", "0"}, ""},  // every send then fails: the failure path, on purpose
        {{"--port", "88372"}, "--port must be a whole number 0..65535, not \"88372\""},
        {{"--port", "65536"}, "--port must be a whole number 0..65535, not \"65536\""},
        {{"--port", "abc"}, "--port must be a whole number 0..65535, not \"abc\""},
        {{"--port", "-1"}, "--port must be a whole number 0..65535, not \"-1\""},
        {{"--port", ""}, "--port must be a whole number 0..65535, not \"\""},
        {{"--fixed-hang-ms", "0"}, ""},
        {{"--fixed-hang-ms", "-5"}, ""},
        {{"--fixed-hang-ms", "2147483647"}, ""},
        {{"--fixed-hang-ms", "-2147483648"}, ""},
        {{"--fixed-hang-ms", "abc"}, "--fixed-hang-ms must be a whole number of ms -2147483648..2147483647"},
        {{"--fixed-hang-ms", "nan"}, "--fixed-hang-ms must be a whole number of ms -2147483648..2147483647"},
        {{"--fixed-hang-ms", "99999999999"}, "not \"99999999999\""},
        {{"--fixed-hang-ms", "2147483648"}, "not \"2147483648\""},
        {{"--fixed-hang-ms", "1.5"}, "not \"1.5\""},
    };
    for (const auto& c : cases) {
        const QString error = number_option_error(parse(c.args));
        if (*c.error == '\0') {
            EXPECT_TRUE(error.isEmpty()) << c.args.join(' ').toStdString() << ": " << error.toStdString();
        } else {
            EXPECT_TRUE(error.startsWith("keyline-bench: ")) << error.toStdString();
            EXPECT_TRUE(error.contains(c.error)) << c.args.join(' ').toStdString() << ": " << error.toStdString();
        }
    }
    EXPECT_EQ(parse({"--port", "65535"}).port, 65535);
    EXPECT_EQ(parse({"--port", "0"}).port, 0);
    EXPECT_EQ(parse({"--fixed-hang-ms", "-5"}).fixed_hang_ms, -5);
    EXPECT_EQ(parse({"--fixed-hang-ms", "2147483647"}).fixed_hang_ms, 2147483647);
}

TEST(AgentOptions, StationAndBandMustKeepADatagramWithinWhatAStationAccepts)
{
    // {"tx_inhibit":1,"ttl_ms":600,"station":"","band":"144","seq":9223372036854775807}
    // is 81 bytes: the station may add 1967 more, and not one beyond.
    const int room = 2048 - 81;
    EXPECT_EQ(payload_option_error(parse({"-s", QString(room, 'x')})), QString());
    const QString error = payload_option_error(parse({"-s", QString(room + 1, 'x')}));
    EXPECT_TRUE(error.startsWith("keyline-bench: --station and --band make a datagram of up to 2049 bytes; "
                                 "a station accepts at most 2048"))
        << error.toStdString();
    // Escaped as sent: a quote takes two bytes; the band counts alike.
    EXPECT_FALSE(payload_option_error(parse({"-s", QString(room / 2 + 1, '"')})).isEmpty());
    EXPECT_FALSE(payload_option_error(parse({"-s", "", "-b", QString(room + 4, 'b')})).isEmpty());
    EXPECT_TRUE(payload_option_error(parse({})).isEmpty());
}

TEST(AgentOptions, TtlBoundsAreInclusive)
{
    EXPECT_FALSE(ttl_ms_valid(99));
    EXPECT_TRUE(ttl_ms_valid(100));
    EXPECT_TRUE(ttl_ms_valid(30000));
    EXPECT_FALSE(ttl_ms_valid(30001));
    EXPECT_FALSE(ttl_ms_valid(0));
    EXPECT_FALSE(ttl_ms_valid(-5));
}

TEST(AgentOptions, OnlyNumericHostsAreAccepted)
{
    for (const char* host : {"127.0.0.1", "10.1.2.3", "::1", "fe80::1", "2001:db8::42"})
        EXPECT_TRUE(host_is_numeric_address(host)) << host;
    for (const char* host : {"localhost", "station.local", "999.1.1.1", "", "1.2.3.4.5", "::g"})
        EXPECT_FALSE(host_is_numeric_address(host)) << host;
    EXPECT_EQ(host_error_text("localhost"),
              "keyline-bench: --host must be a numeric IPv4 or IPv6 address: localhost");
}

TEST(AgentOptions, HelpListsTheOptionsInOrderAfterHelpAndVersion)
{
    qt_test_app();
    QCommandLineParser parser;
    add_agent_options(parser);
    const QString help = parser.helpText();
    EXPECT_TRUE(help.contains("KEY-agent stand-in (docs/TX_INHIBIT.md s3): Hold sender + KEYing monitor.\n"
                              "KEY key = left quote / grave ` (not Space - typing won't false-trigger).\n"
                              "Break-in CW: hang = 1.5x word gap; continuous KEY: hang 0.\n"
                              "Default: KEY only from *this terminal* (other windows ignored).\n"
                              "Use --global-keys for system-wide KEY (true agent bench).\n"))
        << help.toStdString();
    const QStringList order = {"--help", "--version", "-H, --host <host>", "-p, --port <port>",
                               "-s, --station <name>", "-b, --band <band>", "-t, --ttl-ms <ms>",
                               "--fixed-hang-ms <ms>", "--global-keys", "--verbose-keepalive"};
    int at = 0;
    for (const QString& item : order) {
        const int found = help.indexOf(item, at);
        ASSERT_GE(found, 0) << item.toStdString() << "\n" << help.toStdString();
        at = found + item.size();
    }
    const QString flowing = help.simplified();  // help texts are wrapped to the terminal width
    for (const char* text : {"Ostrel station host (default 127.0.0.1)", "Inhibit UDP port (default 22372)",
                             "Badge station id", "Band field (informational)",
                             "hold_timeout_ms on hold/keepalive packets (default 600)",
                             "Override hang after KEY open (ms). Omit for KEYing-monitor hang.",
                             "Read grave/` KEY system-wide (other windows can trigger). Not default.",
                             "Log every keepalive (default: HOLD, KEY events, RELEASE only).",
                             // What a newcomer needs besides: defaults, ranges and the words.
                             "Badge station id (default TEST-KEY): the badge is",
                             "Band field (informational) (default 144).", "(default 600), 100..30000",
                             "A whole number -2147483648..2147483647; 0 or less releases at once.",
                             "The Ostrel station is the station application", "a whole number 0..65535"})
        EXPECT_TRUE(flowing.contains(text)) << text;
}

TEST(Banner, DefaultsAllFourteenLines)
{
    const QString expected =
        "keyline-bench (KEY agent) -> 127.0.0.1:22372\n"
        "  ` (grave) = KEY level: hold to assert, release to open  - not Space\n"
        "  ~ (shift+grave) = LATCH on; press ` or ~ again to release\n"
        "  q or Esc  = release hold and quit\n"
        "  station=TEST-KEY  band=144\n"
        "  hold_timeout_ms=600  keepalive every 200 ms while hold active\n"
        "  key poll=5 ms (EVIOCGKEY true level)\n"
        "  hang=KEYing monitor: break-in 1.5x word gap; continuous hang=0\n"
        "  KEY = grave/` only when typed in *this terminal* (EVIOCGKEY level after TTY press; other "
        "windows ignored). q/Esc only from this terminal. --global-keys for system-wide KEY.\n"
        "  Latched (~) reads as one continuous mark: hang=0, released on the next press.\n"
        "  Held (`) >=500 ms is also continuous; short taps use break-in hang.\n"
        "  Or: --fixed-hang-ms 0 for immediate release on KEY open.\n"
        "  See docs/TX_INHIBIT.md s3 (Hold sender + KEYing monitor).\n"
        "\n";
    EXPECT_EQ(banner_text(parse({})), expected);
}

TEST(Banner, ShowsConvertedValuesAndTheMode)
{
    const QStringList lines =
        banner_text(parse({"--port", "4464", "--fixed-hang-ms", "-5", "--global-keys", "-s", "A%1B"}))
            .split('\n');
    ASSERT_EQ(lines.size(), 15);  // 14 lines and the text after the last line feed
    EXPECT_EQ(lines[0], "keyline-bench (KEY agent) -> 127.0.0.1:4464");
    EXPECT_EQ(lines[4], "  station=A%1B  band=144");
    EXPECT_EQ(lines[7], "  hang=fixed override 0 ms");
    EXPECT_EQ(lines[8],
              "  KEY = grave/` via /dev/input EVIOCGKEY (true level, SYSTEM-WIDE). q/Esc also system-wide.");
    EXPECT_EQ(banner_text(parse({"--fixed-hang-ms", "1000"})).split('\n')[7], "  hang=fixed override 1000 ms");
}

TEST(KeySourceOptions, RefusalsNameTheOption)
{
    const struct {
        QStringList args;
        const char* error;  // empty: accepted
    } cases[] = {
        {{}, ""},
        {{"--key-text", "CQ"}, ""},
        {{"--key-text", "CQ", "--wpm", "5", "--repeat", "0"}, ""},
        {{"--key-text", "CQ", "--wpm", "60", "--record", "r.txt"}, ""},
        {{"--key-script", "-", "--repeat", "3"}, ""},
        {{"--global-keys", "--record", "r.txt"}, ""},
        {{"--record", "r.txt"}, ""},
        {{"--key-text", "CQ", "--key-script", "s"}, "--key-text and --key-script exclude one another"},
        {{"--global-keys", "--key-text", "CQ"}, "--key-text and --global-keys exclude one another"},
        {{"--key-script", "s", "--global-keys"}, "--key-script and --global-keys exclude one another"},
        {{"--key-text", "CQ", "--wpm", "4"}, "--wpm must be a whole number 5..60, not \"4\""},
        {{"--key-text", "CQ", "--wpm", "61"}, "--wpm must be a whole number 5..60, not \"61\""},
        {{"--key-text", "CQ", "--wpm", "20.5"}, "--wpm must be a whole number 5..60, not \"20.5\""},
        {{"--key-text", "CQ", "--wpm", " 20"}, "--wpm must be a whole number 5..60, not \" 20\""},
        {{"--key-text", "CQ", "--wpm", "fast"}, "--wpm must be a whole number 5..60, not \"fast\""},
        {{"--key-text", "CQ", "--repeat", "-1"}, "--repeat must be a whole number, 0 or more, not \"-1\""},
        {{"--key-text", "CQ", "--repeat", "1.5"}, "--repeat must be a whole number, 0 or more, not \"1.5\""},
        {{"--key-text", "CQ", "--repeat", "9999999999"},
         "--repeat must be a whole number, 0 or more, not \"9999999999\""},
        {{"--wpm", "25"}, "--wpm goes with --key-text"},
        {{"--key-script", "s", "--wpm", "25"}, "--wpm goes with --key-text"},
        {{"--repeat", "2"}, "--repeat goes with --key-text or --key-script"},
    };
    for (const auto& c : cases) {
        const QString error = key_source_option_error(parse(c.args));
        if (*c.error == '\0') {
            EXPECT_TRUE(error.isEmpty()) << c.args.join(' ').toStdString() << ": " << error.toStdString();
        } else {
            EXPECT_TRUE(error.startsWith("keyline-bench: ")) << error.toStdString();
            EXPECT_TRUE(error.contains(c.error)) << c.args.join(' ').toStdString() << ": " << error.toStdString();
        }
    }
    const AgentOptions o = parse({"--key-text", "CQ", "--wpm", "25", "--repeat", "0"});
    EXPECT_TRUE(keyless_source(o));
    EXPECT_EQ(o.wpm, 25);
    EXPECT_EQ(o.repeat, 0);
    EXPECT_FALSE(keyless_source(parse({"--global-keys", "--record", "r.txt"})));

    qt_test_app();
    QCommandLineParser parser;
    add_agent_options(parser);
    const QString help = parser.helpText();
    for (const char* item : {"--key-text <text>", "--wpm <wpm>", "--key-script <file>", "--repeat <n>",
                             "--record <file>"})
        EXPECT_TRUE(help.contains(item)) << item;
}

TEST(Banner, NamesAKeyboardLessSourceAndTheRecording)
{
    // The keyboard's instructions (grave, latch, 500 ms) do nothing here:
    // the lines of what is keyed stand in their place.
    const QStringList text = banner_text(parse({"--key-text", "CQ", "--wpm", "25", "--record", "r.txt"}),
                                         {"Keys this.", "And that."})
                                 .split('\n');
    ASSERT_EQ(text.size(), 14) << text.join('\n').toStdString();
    EXPECT_EQ(text[1], "  q or Esc  = release hold and quit");
    EXPECT_EQ(text[6], "  KEY = Morse text at 25 WPM, once (no keyboard); quits when done. q/Esc from this terminal.");
    EXPECT_EQ(text[7], "  Recording the KEY's edges to r.txt (a key script for --key-script).");
    EXPECT_EQ(text[8], "  Keys this.");
    EXPECT_EQ(text[9], "  And that.");
    EXPECT_EQ(text[10], "  Or: --fixed-hang-ms 0 for immediate release on KEY open.");
    EXPECT_EQ(banner_text(parse({"--key-script", "-", "--repeat", "0"})).split('\n')[6],
              "  KEY = key script from standard input, repeated until quit (no keyboard); quits when done. "
              "q/Esc from this terminal.");
}

TEST(Banner, WarnsOfATtlShorterThanTheKeepalivePeriod)
{
    for (const char* ttl : {"100", "199"}) {
        const QStringList lines = banner_text(parse({"--ttl-ms", ttl})).split('\n');
        ASSERT_EQ(lines.size(), 16) << ttl;
        EXPECT_EQ(lines[6], QStringLiteral("  WARNING: hold_timeout_ms=%1 is shorter than the 200 ms keepalive "
                                           "period: every hold lapses at the station between keepalives.")
                                .arg(ttl));
    }
    EXPECT_EQ(banner_text(parse({"--ttl-ms", "200"})).split('\n').size(), 15);
}
