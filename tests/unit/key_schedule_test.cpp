// Morse text and key scripts as timed KEY levels, and their playback.

#include <gtest/gtest.h>

#include <string>

#include <QByteArray>
#include <QString>

#include "morse/key_schedule.h"
#include "input/scheduled_key.h"

namespace {

// "D0 U60 ..." : each edge's level and its time in ms within a round.
std::string edges_text(const KeySchedule& s)
{
    std::string out;
    for (const KeyEdge& e : s.edges) {
        if (!out.empty())
            out += ' ';
        out += (e.down ? "D" : "U") + std::to_string(schedule_ms(s, e.at));
    }
    return out;
}

KeySchedule text_schedule(const QString& text, int wpm)
{
    KeySchedule s;
    QString reason;
    EXPECT_TRUE(morse_schedule(text, wpm, &s, &reason)) << reason.toStdString();
    return s;
}

KeySchedule script_schedule(const char* script)
{
    KeySchedule s;
    QString error;
    EXPECT_TRUE(parse_key_script(QByteArray(script), "s", &s, &error)) << error.toStdString();
    return s;
}

}  // namespace

// --- Morse text ------------------------------------------------------------------

TEST(MorseText, EdgesFallAtTheExactParisTimes)
{
    struct Case {
        const char* text;
        int wpm;
        const char* edges;
        qint64 end_ms;    // the last mark's end
        qint64 round_ms;  // 7 dits later
    };
    const Case cases[] = {
        // P .--.  A .-  R .-.  I ..  S ...  : 43 dits, 50 with the pause.
        {"PARIS", 20,
         "D0 U60 D120 U300 D360 U540 D600 U660 D840 U900 D960 U1140 D1320 U1380 D1440 U1620 "
         "D1680 U1740 D1920 U1980 D2040 U2100 D2280 U2340 D2400 U2460 D2520 U2580",
         2580, 3000},
        {"paris", 20,
         "D0 U60 D120 U300 D360 U540 D600 U660 D840 U900 D960 U1140 D1320 U1380 D1440 U1620 "
         "D1680 U1740 D1920 U1980 D2040 U2100 D2280 U2340 D2400 U2460 D2520 U2580",
         2580, 3000},
        {"E E", 20, "D0 U60 D480 U540", 540, 960},               // a word gap is 7 dits
        {"  E \t\n  E ", 20, "D0 U60 D480 U540", 540, 960},      // any run of blanks is one
        {"EE", 20, "D0 U60 D240 U300", 300, 720},                // a letter gap is 3 dits
        {"T", 5, "D0 U720", 720, 2400},                          // dah 3 dits of 240
        // 7 WPM: dit 171.43 ms; each edge rounded on its own, none carried.
        {"EE", 7, "D0 U171 D686 U857", 857, 2057},
        // 32 WPM: dit 37.5 ms; halves round up.
        {"I", 32, "D0 U38 D75 U113", 113, 375},
        {"!", 60, "D0 U60 D80 U100 D120 U180 D200 U220 D240 U300 D320 U380", 380, 520},
    };
    for (const Case& c : cases) {
        const KeySchedule s = text_schedule(QString::fromUtf8(c.text), c.wpm);
        EXPECT_EQ(edges_text(s), c.edges) << c.text << " at " << c.wpm;
        EXPECT_EQ(schedule_ms(s, s.end_units), c.end_ms) << c.text;
        EXPECT_EQ(schedule_ms(s, s.round_units), c.round_ms) << c.text;
    }
}

TEST(MorseText, ItuCodesOfDigitsAndPunctuation)
{
    const struct {
        uint character;
        const char* code;
    } cases[] = {
        {'0', "-----"},  {'5', "....."},  {'9', "----."},  {'.', ".-.-.-"}, {',', "--..--"},
        {'?', "..--.."}, {'/', "-..-."},  {'=', "-...-"},  {'+', ".-.-."},  {'-', "-....-"},
        {'\'', ".----."}, {'"', ".-..-."}, {'(', "-.--."},  {')', "-.--.-"}, {':', "---..."},
        {';', "-.-.-."}, {'@', ".--.-."}, {'!', "-.-.--"}, {'q', "--.-"},   {'Q', "--.-"},
    };
    for (const auto& c : cases) {
        ASSERT_NE(morse_code(c.character), nullptr) << char(c.character);
        EXPECT_STREQ(morse_code(c.character), c.code) << char(c.character);
    }
}

TEST(MorseText, AProsignIsOneCharacterAndEIsAccented)
{
    // <AR> is .-.-. with element gaps only; É is ..-..
    EXPECT_EQ(edges_text(text_schedule("<AR>", 20)), edges_text(text_schedule("+", 20)));
    EXPECT_EQ(edges_text(text_schedule("E<sos>", 20)),
              "D0 U60 D240 U300 D360 U420 D480 U540 D600 U780 D840 U1020 D1080 U1260 D1320 U1380 D1440 U1500 D1560 U1620");
    EXPECT_EQ(edges_text(text_schedule("\xc3\xa9", 20)), "D0 U60 D120 U180 D240 U420 D480 U540 D600 U660");
    EXPECT_EQ(edges_text(text_schedule("\xc3\x89", 20)), edges_text(text_schedule("\xc3\xa9", 20)));
}

TEST(MorseText, RefusesWhatItCannotSendNamingThePosition)
{
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"CQ%", "cannot send \"%\" (character 3)"},
        {"CQ DE \xc3\xbcX", "cannot send \"\xc3\xbc\" (character 7)"},
        {"CQ <AR", "unclosed \"<\" (character 4): a prosign is written <AR>"},
        {"CQ <> K", "empty prosign \"<>\" (character 4)"},
        {"<A R>", "cannot send \" \" inside the prosign opened at character 1 (character 3)"},
        {"<A<R>>", "cannot send \"<\" inside the prosign opened at character 1 (character 3)"},
        {"K>", "cannot send \">\" (character 2)"},
        {"A\xf0\x9f\x98\x80#", "cannot send \"\xf0\x9f\x98\x80\" (character 2)"},  // one character, not two
        {"AB\x07", "cannot send U+0007 (character 3)"},
        {"", "the text is empty"},
        {"  \t ", "the text holds only blanks: nothing to send"},
    };
    for (const auto& c : cases) {
        KeySchedule s;
        QString reason;
        EXPECT_FALSE(morse_schedule(QString::fromUtf8(c.text), 20, &s, &reason)) << c.text;
        EXPECT_EQ(reason.toStdString(), c.reason);
    }
}

// --- key scripts -----------------------------------------------------------------

TEST(KeyScript, LevelsAndDurationsBecomeEdges)
{
    const struct {
        const char* script;
        const char* edges;
        qint64 round_ms;
    } cases[] = {
        {"# a dit, a dah\n\ndown 60\nup 60   # gap\ndown 180\n", "D0 U60 D120 U300", 300},
        {"up 100\ndown 50\nup 20\nup 30\ndown 40", "D100 U150 D200 U240", 240},  // runs of one level merge
        {"down 10\r\n\tup\t600000\r\n", "D0 U10", 600010},                         // both bounds, CR LF, tabs
        {"up 500\n", "", 500},                                                     // a pause only
    };
    for (const auto& c : cases) {
        const KeySchedule s = script_schedule(c.script);
        EXPECT_EQ(edges_text(s), c.edges) << c.script;
        EXPECT_EQ(schedule_ms(s, s.round_units), c.round_ms) << c.script;
        EXPECT_EQ(s.end_units, s.round_units) << c.script;
    }
}

TEST(KeyScript, AByteOrderMarkAtTheStartIsSkipped)
{
    KeySchedule s;
    QString error;
    ASSERT_TRUE(parse_key_script("\xEF\xBB\xBF" "down 60\nup 40\n", "s", &s, &error)) << error.toStdString();
    ASSERT_EQ(s.edges.size(), 2u);
    EXPECT_EQ(s.edges[1].at, 60);
    EXPECT_EQ(s.last_line, 2);
}

TEST(KeyScript, EveryRefusalNamesItsLine)
{
    const struct {
        QByteArray script;
        const char* error;
    } cases[] = {
        {"down 60\nhold 5\n", "s:2: unknown word \"hold\" (a line is \"down MS\" or \"up MS\")"},
        {"DOWN 60\n", "s:1: unknown word \"DOWN\" (a line is \"down MS\" or \"up MS\")"},
        {"down 60\n\nup\n", "s:3: missing duration after \"up\""},
        {"down 60 # ms\nup # 60\n", "s:2: missing duration after \"up\""},
        {"\n\nup -5\n", "s:3: negative duration \"-5\""},
        {"down 12.5\n", "s:1: duration \"12.5\" is not a whole number of ms"},
        {"down 60ms\n", "s:1: duration \"60ms\" is not a whole number of ms"},
        {"down +60\n", "s:1: duration \"+60\" is not a whole number of ms"},
        {"down 600001\n", "s:1: duration 600001 ms is over 10 minutes"},
        {"up 10\ndown 99999999999999999999\n",
         "s:2: duration \"99999999999999999999\" is too long (over 10 minutes)"},
        // A byte order mark is skipped only where an editor puts it, before the first line.
        {"\xEF\xBB\xBF" "down 60\n\xEF\xBB\xBF" "up 60\n", "s:2: unknown word \"\\uFEFFup\" (a line is \"down MS\" or \"up MS\")"},
        {"down 9\n", "s:1: duration 9 ms is under 10 ms (the 5 ms poll cannot see it reliably)"},
        {"down 0\n", "s:1: duration 0 ms is under 10 ms (the 5 ms poll cannot see it reliably)"},
        {"down 60 70\n", "s:1: unexpected \"70\" after the duration"},
        // A binary file is refused at its first NUL, before anything else on earlier lines.
        {QByteArray("hold\ndown 60\nup 6\0x\n", 19), "s:3: binary file (a NUL byte), not a key script"},
        {QByteArray("\0", 1), "s:1: binary file (a NUL byte), not a key script"},
        {"# nothing here\n\n", "s: no \"down\" or \"up\" line"},
        {"", "s: no \"down\" or \"up\" line"},
    };
    for (const auto& c : cases) {
        KeySchedule s;
        QString error;
        EXPECT_FALSE(parse_key_script(c.script, "s", &s, &error)) << c.script.toStdString();
        EXPECT_EQ(error.toStdString(), c.error);
    }
}

// --- playback --------------------------------------------------------------------

TEST(ScheduledKey, EdgesKeepTheirAbsoluteTimesWhateverTheTicks)
{
    const KeySchedule s = text_schedule("PARIS", 20);
    ScheduledKey k;
    start_scheduled_key(k, &s, 1, 1000);
    EXPECT_EQ(next_edge_ms(k), 1000);
    EXPECT_FALSE(scheduled_level(k, 999));
    EXPECT_TRUE(scheduled_level(k, 1000));
    EXPECT_EQ(next_edge_ms(k), 1060);
    EXPECT_TRUE(scheduled_level(k, 1059));
    EXPECT_FALSE(scheduled_level(k, 1060));
    // A tick 2 ms late is jitter: the edge is keyed at its own time, and
    // the next edge keeps its own.
    EXPECT_TRUE(scheduled_level(k, 1122));
    EXPECT_EQ(k.edge_ms, 1120);
    EXPECT_EQ(next_edge_ms(k), 1300);
    EXPECT_EQ(take_fell_behind_ms(k), 0);
}

TEST(ScheduledKey, AStallKeysEveryEdgeLateAndTheRestFollowsThatMuchLater)
{
    // PARIS at 20 WPM: down 1000..1060, 1120..1300, 1360..1540, ...
    const KeySchedule s = text_schedule("PARIS", 20);
    ScheduledKey k;
    start_scheduled_key(k, &s, 1, 1000);
    EXPECT_TRUE(scheduled_level(k, 1000));
    // Stopped from 1050 to 1200: the up edge due at 1060 is keyed at 1200,
    // the down edge due at 1120 comes the gap's 60 ms after it, not at once.
    EXPECT_FALSE(scheduled_level(k, 1200));
    EXPECT_EQ(k.edge_ms, 1200);
    EXPECT_EQ(take_fell_behind_ms(k), 140);
    EXPECT_EQ(take_fell_behind_ms(k), 0);  // said once
    EXPECT_EQ(next_edge_ms(k), 1260);      // the gap keeps its 60 ms
    EXPECT_FALSE(scheduled_level(k, 1259));
    EXPECT_TRUE(scheduled_level(k, 1260));
    EXPECT_EQ(next_edge_ms(k), 1440);      // and the dah its 180
    EXPECT_EQ(take_fell_behind_ms(k), 0);
}

TEST(ScheduledKey, RoundsFollowWithoutCarriedRoundingAndTheLastEndsTheSource)
{
    // 7 WPM: a round of "E" is 8 dits, 1371.43 ms; round 1000 starts at
    // 1371428.57 ms, not at 1000 x 1371.
    const KeySchedule e7 = text_schedule("E", 7);
    ScheduledKey endless;
    start_scheduled_key(endless, &e7, 0, 0);
    while (next_edge_ms(endless) <= 1371428)
        scheduled_level(endless, next_edge_ms(endless));
    EXPECT_EQ(next_edge_ms(endless), 1371429);
    EXPECT_FALSE(scheduled_key_finished(endless, 100000000));

    const KeySchedule s = script_schedule("down 20\nup 100\n");
    ScheduledKey twice;
    start_scheduled_key(twice, &s, 2, 0);
    EXPECT_TRUE(scheduled_level(twice, 0));
    EXPECT_FALSE(scheduled_level(twice, 20));
    EXPECT_FALSE(scheduled_level(twice, 119));
    EXPECT_TRUE(scheduled_level(twice, 120));  // the second round
    EXPECT_FALSE(scheduled_level(twice, 140));
    EXPECT_EQ(next_edge_ms(twice), -1);
    EXPECT_FALSE(scheduled_key_finished(twice, 239));  // its last up line still runs
    EXPECT_TRUE(scheduled_key_finished(twice, 240));

    // A text is over at the end of its last mark; no pause follows the last round.
    const KeySchedule t = text_schedule("T", 20);
    ScheduledKey text;
    start_scheduled_key(text, &t, 1, 0);
    EXPECT_TRUE(scheduled_level(text, 0));
    EXPECT_TRUE(scheduled_level(text, 179));
    EXPECT_FALSE(scheduled_key_finished(text, 179));
    EXPECT_FALSE(scheduled_level(text, 180));
    EXPECT_TRUE(scheduled_key_finished(text, 180));
}
