// The keyless source at start-up: what the banner says it keys, the slow
// keying note, the warning on a repeated script that ends down, the script
// refusals, and the refusal without a keyboard.

#include <gtest/gtest.h>

#include <QCommandLineParser>
#include <QTemporaryDir>

#include "app/agent_command_line.h"
#include "app/key_source.h"
#include "app/keyboard_refusal.h"
#include "morse/key_schedule.h"

namespace {

AgentOptions parse(QStringList args)
{
    args.prepend("keyline-bench");
    QCommandLineParser parser;
    add_agent_options(parser);
    EXPECT_TRUE(parser.parse(args)) << parser.errorText().toStdString();
    return read_agent_options(parser);
}

KeySchedule loaded(const AgentOptions& o)
{
    KeySchedule s;
    QString error;
    EXPECT_TRUE(load_key_schedule(o, &s, &error)) << error.toStdString();
    return s;
}

QString script_file(QTemporaryDir& dir, const QByteArray& content)
{
    const QString path = dir.filePath("s.ks");
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
    return path;
}

}  // namespace

TEST(KeySource, SlowKeyingIsSaidWhereTheFirstMarkFromIdleIsContinuous)
{
    EXPECT_EQ(slowest_wpm_without_long_dah(), 8);  // 450 ms; at 7 WPM a dah is 514 ms
    QTemporaryDir dir;
    const struct {
        QStringList args;
        QByteArray script;  // for {script}
        const char* note;   // empty: none
    } cases[] = {
        {{"--key-text", "TEST", "--wpm", "5"}, "",
         "Slow keying: at 5 WPM a dah lasts 720 ms, and from idle a mark of 500 ms or more is continuous "
         "keying: a dah that starts the keying is released as it ends, and the marks after it take a new "
         "hold. From 8 WPM up this does not happen."},
        {{"--key-text", "T", "--wpm", "7"}, "", "Slow keying: at 7 WPM a dah lasts 514 ms"},
        {{"--key-text", "TEST", "--wpm", "8"}, "", ""},
        {{"--key-text", "EIS H", "--wpm", "5"}, "", ""},  // dits only: no mark is that long
        {{"--key-text", "TEST", "--wpm", "5", "--fixed-hang-ms", "2000"}, "", ""},
        {{"--key-script", "{script}"}, "down 800\nup 100\ndown 60\n",
         "Slow keying: the script's first mark lasts 800 ms, and from idle a mark of 500 ms or more is "
         "continuous keying: it is released as it ends, and the short marks after it take a new hold."},
        {{"--key-script", "{script}"}, "up 300\ndown 500\nup 60\ndown 499\nup 10\n",
         "Slow keying: the script's first mark lasts 500 ms"},
        {{"--key-script", "{script}"}, "down 800\nup 100\ndown 900\n", ""},
        {{"--key-script", "{script}"}, "down 499\nup 100\ndown 900\n", ""},
        // Not only the first: a long mark after a gap the hang does not
        // outlast takes a hold of its own; one inside a hold does not.
        {{"--key-script", "{script}"}, "down 60\nup 2000\ndown 800\nup 100\ndown 60\n",
         "Slow keying: 1 of the script's marks of 500 ms or more follow a gap longer than the hang (the "
         "first lasts 800 ms, at 2060 ms)"},
        {{"--key-script", "{script}"}, "down 60\nup 200\ndown 800\nup 100\ndown 60\n", ""},
    };
    for (const auto& c : cases) {
        QStringList args = c.args;
        args.replaceInStrings("{script}", script_file(dir, c.script));
        const QStringList lines = keyed_source_lines(parse(args), loaded(parse(args)));
        ASSERT_GE(lines.size(), 1);
        if (*c.note == '\0') {
            EXPECT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
        } else {
            ASSERT_EQ(lines.size(), 2) << args.join(' ').toStdString();
            EXPECT_TRUE(lines[1].startsWith(c.note)) << lines[1].toStdString();
        }
    }
    EXPECT_EQ(keyed_source_lines(parse({"--key-text", "PARIS"}), loaded(parse({"--key-text", "PARIS"}))),
              QStringList{"Keys \"PARIS\" in Morse: dit 60 ms, dah 180 ms; 14 marks in 2580 ms."});
}

TEST(KeySource, TheBannerGivesTheMarksTheirRealLengths)
{
    const struct {
        QStringList args;
        const char* lengths;
    } cases[] = {
        {{"--farnsworth", "10"}, "dit 60 ms, dah 180 ms;"},
        {{"--weight", "70"}, "dit 84 ms, dah 204 ms;"},
        {{"--weight", "30"}, "dit 36 ms, dah 156 ms;"},
        {{"--fist", "20", "--seed", "3"}, "dit 60 ms, dah 180 ms (nominal: the fist varies each);"},
    };
    for (const auto& c : cases) {
        const QStringList args = QStringList{"--key-text", "PARIS"} + c.args;
        const QString line = keyed_source_lines(parse(args), loaded(parse(args))).first();
        EXPECT_TRUE(line.contains(QLatin1String(c.lengths))) << line.toStdString();
    }
}

TEST(KeySource, ARepeatedScriptThatRunsItsLastMarkIntoTheFirstIsWarnedAbout)
{
    QTemporaryDir dir;
    const struct {
        QByteArray script;
        const char* repeat;
        bool warned;
    } cases[] = {
        {"down 60\nup 60\ndown 60\n# end\n", "2", true},
        {"down 60\nup 60\ndown 60\n", "0", true},
        {"down 60\nup 60\ndown 60\n", "1", false},  // one round: nothing to run into
        {"down 60\nup 60\n", "3", false},
        {"up 60\ndown 60\n", "3", false},           // the next round begins up: no merge
    };
    for (const auto& c : cases) {
        const QString path = script_file(dir, c.script);
        const AgentOptions o = parse({"--key-script", path, "--repeat", c.repeat});
        const QString warning = repeated_script_warning(o, loaded(o));
        EXPECT_EQ(!warning.isEmpty(), c.warned) << c.script.toStdString() << warning.toStdString();
        if (c.warned) {
            EXPECT_TRUE(warning.startsWith(QStringLiteral("keyline-bench: --key-script %1:3: warning: the "
                                                          "script ends with the KEY down")
                                               .arg(path)))
                << warning.toStdString();
        }
    }
}

TEST(KeySource, ScriptRefusalsNameTheProgramAndTheOption)
{
    QTemporaryDir dir;
    const QString only_up = script_file(dir, "up 60\n");
    const struct {
        QStringList args;
        QString error;
    } cases[] = {
        {{"--key-script", dir.path()}, "keyline-bench: --key-script " + dir.path() + ": Is a directory"},
        {{"--key-script", only_up, "--repeat", "0"},
         "keyline-bench: --key-script " + only_up +
             ": only \"up\" lines; with --repeat 0 it would key nothing until quit"},
    };
    for (const auto& c : cases) {
        KeySchedule s;
        QString error;
        EXPECT_FALSE(load_key_schedule(parse(c.args), &s, &error));
        EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(loaded(parse({"--key-script", only_up})).edges.size(), 0u);  // once: it keeps the KEY up
    EXPECT_EQ(key_source_option_error(parse({"--key-text", "E", "--record", "-"})),
              "keyline-bench: --record -: a recording goes to a file, not to standard output (the run's "
              "log); give a file name (./- for a file named -)");
    EXPECT_TRUE(key_source_option_error(parse({"--key-text", "E", "--record", "./-"})).isEmpty());
}

TEST(KeyboardRefusal, KeepsItsLinesAndNamesTheKeylessSources)
{
    const QString common = "keyline-bench: refusing to start (need true KEY level via /dev/input).\n"
                           "  why\n"
                           "  Verify after re-login:  groups | grep -w input\n";
    const QString keyless = "  Without a keyboard: --key-text TEXT or --key-script FILE keys the KEY (see --help).\n";
    EXPECT_EQ(keyboard_refusal_text("why", false), common + keyless);
    EXPECT_EQ(keyboard_refusal_text("why", true),
              common +
                  "  This machine has no keyboard device under /dev/input: there is none to open, so no "
                  "group or permission will help.\n" +
                  keyless);
}
