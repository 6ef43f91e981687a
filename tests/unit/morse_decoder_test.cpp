// The --decode reader: keyed text back as text, from marks and gaps alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <QString>

#include "morse/key_schedule.h"
#include "morse/morse_style.h"
#include "morse/morse_decoder.h"

namespace {

// Feeds the keying of TEXT from start_ms; returns where its last mark ends.
qint64 key(MorseDecoder& d, const QString& text, const MorseStyle& style, qint64 start_ms = 1000)
{
    KeySchedule s;
    QString reason;
    EXPECT_TRUE(morse_schedule(text, style.wpm, &s, &reason)) << reason.toStdString();
    apply_morse_style(s, style);
    for (const KeyEdge& e : s.edges)
        decoder_edge(d, e.down, start_ms + schedule_ms(s, e.at));
    return start_ms + schedule_ms(s, s.end_units);
}

std::string line(MorseDecoder& d)
{
    return take_decoded_line(d).toStdString();
}

std::string decoded(const QString& text, const MorseStyle& style)
{
    MorseDecoder d;
    key(d, text, style);
    return line(d);
}

MorseStyle at(int wpm, int fist = 0, quint64 seed = 0)
{
    MorseStyle s;
    s.wpm = wpm;
    s.fist_percent = fist;
    s.seed = seed;
    return s;
}

// What the decoder writes for a keyed character: prosigns before the
// punctuation that shares their code.
std::string reads_as(uint c)
{
    switch (c) {
    case '+': return "<AR>";
    case '=': return "<BT>";
    case '(': return "<KN>";
    default: return QString::fromUcs4(&c, 1).toStdString();
    }
}

TEST(MorseDecoder, ReadsEveryCharacterOfTheKeyer)
{
    int checked = 0;
    for (uint c = '!'; c <= 'Z'; ++c) {
        if (!morse_code(c))
            continue;
        const QString ch = QString::fromUcs4(&c, 1);
        const std::string want = reads_as(c);
        EXPECT_EQ(decoded("VVV " + ch + " " + ch + "E", at(20)), "DECODED  VVV " + want + " " + want + "E  (20 WPM)")
            << "character " << want;
        ++checked;
    }
    EXPECT_EQ(checked, 51);
}

struct Keyed {
    const char* text;
    const char* reads;
};

class MorseDecoderProsigns : public testing::TestWithParam<Keyed> {};

TEST_P(MorseDecoderProsigns, ReadAsOneCharacter)
{
    EXPECT_EQ(decoded(QString::fromUtf8(GetParam().text), at(25)),
              std::string("DECODED  ") + GetParam().reads + "  (25 WPM)");
}

INSTANTIATE_TEST_SUITE_P(
    Table, MorseDecoderProsigns,
    testing::Values(Keyed{"CQ <AR>", "CQ <AR>"}, Keyed{"TU <SK>", "TU <SK>"}, Keyed{"QRL <BT> OK", "QRL <BT> OK"},
                    Keyed{"UR RST <KN>", "UR RST <KN>"}, Keyed{"<AS> QRX", "<AS> QRX"},
                    Keyed{"<SOS> <SOS>", "<SOS> <SOS>"}, Keyed{"CAF\xC3\x89 \xC3\xA9t\xC3\xA9", "CAF\xC3\x89 \xC3\x89T\xC3\x89"},
                    Keyed{"<HH> OK", "* OK"}));

class MorseDecoderSpeeds : public testing::TestWithParam<int> {};

TEST_P(MorseDecoderSpeeds, ReadTextAndSpeed)
{
    const int wpm = GetParam();
    EXPECT_EQ(decoded("CQ CQ DE PARIS 73", at(wpm)), "DECODED  CQ CQ DE PARIS 73  (" + std::to_string(wpm) + " WPM)");
}

INSTANTIATE_TEST_SUITE_P(Table, MorseDecoderSpeeds, testing::Values(5, 7, 13, 20, 25, 40, 60));

// Texts that open with dahs only: the first marks cannot tell their class
// until a dit or a gap shows the speed.
class MorseDecoderLeadingDah : public testing::TestWithParam<const char*> {};

TEST_P(MorseDecoderLeadingDah, ReadsFromTheFirstCharacter)
{
    // The text only: a lone gap shows little of the speed.
    const std::string got = decoded(GetParam(), at(25));
    EXPECT_EQ(got.substr(0, got.rfind("  (")), std::string("DECODED  ") + GetParam());
}

INSTANTIATE_TEST_SUITE_P(Table, MorseDecoderLeadingDah, testing::Values("TEST", "MO TEST", "0 OK", "T E"));

// A step of half again between two words, either way, costs nothing (a
// sudden doubling may cost the character at the step).
class MorseDecoderSpeedStep : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(MorseDecoderSpeedStep, ReadsAcrossTheStep)
{
    const auto [before, after] = GetParam();
    MorseDecoder d;
    const qint64 end = key(d, "CQ CQ DE PARIS", at(before));
    key(d, "QRS PSE 73 TU", at(after), end + 7 * 1200 / after);
    EXPECT_EQ(line(d), "DECODED  CQ CQ DE PARIS QRS PSE 73 TU  (" + std::to_string(after) + " WPM)");
}

INSTANTIATE_TEST_SUITE_P(Table, MorseDecoderSpeedStep,
                         testing::Values(std::pair{20, 30}, std::pair{30, 20}, std::pair{12, 18}, std::pair{60, 40}));

// A doubling, and a few spans after it a mark keyed 80 ms late (a stalled
// tick), a dah still: the step stays where it was found, and all reads
// right.
TEST(MorseDecoder, KeepsAStepThoughAMarkAfterItIsLate)
{
    MorseDecoder d;
    const qint64 end = key(d, "BXMQOS CV654J RL,WZW", at(24));
    KeySchedule s;
    QString reason;
    ASSERT_TRUE(morse_schedule(QStringLiteral("A10BD0 SP2ED P"), 48, &s, &reason));
    const size_t late_mark_end = 17;  // the second dah of the 0
    for (size_t i = 0; i < s.edges.size(); ++i)
        decoder_edge(d, s.edges[i].down, end + 7 * 25 + schedule_ms(s, s.edges[i].at) + (i >= late_mark_end ? 80 : 0));
    EXPECT_EQ(line(d), "DECODED  BXMQOS CV654J RL,WZW A10BD0 SP2ED P  (48 WPM)");
}

// A doubling at a word's start: the spans waiting mix both speeds before the
// step is plain, and must not be read at one scale that fits neither (the
// old element gaps as letter gaps: "S'" read "IE ETTTTE").
TEST(MorseDecoder, ReadsADoublingWhileTheStepIsNotYetPlain)
{
    MorseDecoder d;
    const qint64 end = key(d, "OV F .OGW NL L/YBS'", at(24));
    key(d, "ZWV TB X7 SJ<SK><KN>4 A8 <KN>PCU", at(48), end + 7 * 25);
    EXPECT_EQ(line(d), "DECODED  OV F .OGW NL L/YBS' ZWV TB X7 SJ<SK><KN>4 A8 <KN>PCU  (48 WPM)");
}

TEST(MorseDecoder, FollowsADriftingSpeed)
{
    // From 12 to 36 WPM and back, 3 WPM a word.
    MorseDecoder d;
    qint64 t = 1000;
    std::string want;
    for (int wpm : {12, 15, 18, 21, 24, 27, 30, 33, 36, 33, 30, 27, 24, 21, 18, 15, 12}) {
        t = key(d, "TEST", at(wpm), t) + 7 * 1200 / wpm;
        want += want.empty() ? "TEST" : " TEST";
    }
    EXPECT_EQ(line(d), "DECODED  " + want + "  (12 WPM)");
}

TEST(MorseDecoder, LinesFollowOneAnotherAndKeepTheSpeed)
{
    MorseDecoder d;
    const qint64 end = key(d, "CQ TEST", at(25));
    EXPECT_EQ(line(d), "DECODED  CQ TEST  (25 WPM)");
    EXPECT_FALSE(decoder_has_text(d));
    // One mark alone reads at the speed already known: a dah.
    key(d, "T", at(25), end + 5000);
    EXPECT_EQ(line(d), "DECODED  T  (25 WPM)");
}

TEST(MorseDecoder, AnOverlongMarkIsUnreadable)
{
    MorseDecoder d;
    decoder_edge(d, true, 0);
    decoder_edge(d, false, 3000);
    EXPECT_EQ(line(d), "DECODED  *  (? WPM)");
}

class MorseDecoderJitter : public testing::TestWithParam<quint64> {};

// A fist of +-20 % on every element and gap reads without a fault.
TEST_P(MorseDecoderJitter, ReadsAFistOf20Percent)
{
    const char* text = "CQ CQ CQ DE DL1ABC DL1ABC PSE K = UR RST 599 5NN QTH BERLIN NAME OTTO HW? "
                       "<AR> TNX FER QSO 73 <SK> E E";
    for (int wpm : {12, 25, 40}) {
        MorseDecoder d;
        MorseStyle style = at(wpm, 20, GetParam());
        key(d, text, style);
        const QString got = take_decoded_line(d);
        EXPECT_TRUE(got.startsWith(QStringLiteral("DECODED  CQ CQ CQ DE DL1ABC DL1ABC PSE K <BT> UR RST 599 5NN QTH "
                                                  "BERLIN NAME OTTO HW? <AR> TNX FER QSO 73 <SK> E E  (")))
            << wpm << " WPM: " << got.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, MorseDecoderJitter, testing::Values(1, 2, 3, 4, 5, 6, 7, 8));

TEST(MorseDecoder, ReadsFarnsworthSpacing)
{
    MorseStyle style = at(20);
    style.farnsworth_wpm = 8;
    EXPECT_EQ(decoded("CQ TEST DE PARIS", style), "DECODED  CQ TEST DE PARIS  (20 WPM)");
}

TEST(MorseDecoder, LetsOldTextGoWhenFull)
{
    MorseDecoder d;
    qint64 t = 1000;
    for (int i = 0; i < 120; ++i)
        t = key(d, "PARIS PARIS", at(40), t) + 7 * 30;
    const QString got = take_decoded_line(d);
    EXPECT_TRUE(got.startsWith(QStringLiteral("DECODED  ..."))) << got.toStdString();
    EXPECT_TRUE(got.endsWith(QStringLiteral("PARIS PARIS  (40 WPM)"))) << got.toStdString();
}

// Any weight reads as keyed, and the speed shown is the element period's.
class MorseDecoderWeight : public testing::TestWithParam<int> {};

TEST_P(MorseDecoderWeight, ReadsTextAndSpeed)
{
    MorseStyle style = at(20);
    style.weight_percent = GetParam();
    EXPECT_EQ(decoded("HH PARIS 0 TEST", style), "DECODED  HH PARIS 0 TEST  (20 WPM)");
}

INSTANTIATE_TEST_SUITE_P(Table, MorseDecoderWeight, testing::Values(30, 40, 60, 70));

// Releases at the times given, with the lines they print ("" none), then quit.
struct HeldCase {
    const char* text;
    int wpm;
    int farnsworth;
    std::vector<std::pair<qint64, const char*>> releases;  // ms after the keying starts
    const char* at_quit;
};

class MorseDecoderAcrossHolds : public testing::TestWithParam<HeldCase> {};

TEST_P(MorseDecoderAcrossHolds, ReadsTheKeyingNotEachHold)
{
    const HeldCase& c = GetParam();
    MorseStyle style = at(c.wpm);
    style.farnsworth_wpm = c.farnsworth;
    KeySchedule s;
    QString reason;
    ASSERT_TRUE(morse_schedule(QString::fromUtf8(c.text), c.wpm, &s, &reason));
    apply_morse_style(s, style);
    MorseDecoder d;
    size_t next = 0;
    for (const auto& [release_at, want] : c.releases) {
        for (; next < s.edges.size() && schedule_ms(s, s.edges[next].at) <= release_at; ++next)
            decoder_edge(d, s.edges[next].down, 1000 + schedule_ms(s, s.edges[next].at));
        EXPECT_EQ(decoder_release_line(d, 1000 + release_at).toStdString(), want) << "release at " << release_at;
    }
    for (; next < s.edges.size(); ++next)
        decoder_edge(d, s.edges[next].down, 1000 + schedule_ms(s, s.edges[next].at));
    EXPECT_EQ(line(d), c.at_quit);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MorseDecoderAcrossHolds,
    testing::Values(
        // 5 WPM: the first dah (720 ms) is released as it ends; nothing is complete.
        HeldCase{"TEST TEST", 5, 0, {{720, ""}, {5280 + 1260, "DECODED  TEST  (5 WPM)"}}, "DECODED  TEST  (5 WPM)"},
        // A character still open at a release waits and goes into the next line.
        // (At 2500 ms the gap after S's second dit has lasted 40 ms.)
        HeldCase{"PARIS PARIS", 20, 0, {{2500, "DECODED  PARI  (20 WPM)"}}, "DECODED  \xE2\x80\xA6S PARIS  (20 WPM)"}));

// Farnsworth: letter gaps outlast the hang, so each letter or word is a hold
// of its own. Until the keying has shown a letter and a word gap, a gap that
// may be either waits, with what follows it, for the keying that tells; the
// lines after that go on with a word where it goes on ("+" in front). A line
// "" is a RELEASE that prints none.
struct FarnsworthCase {
    const char* text;
    int wpm, farnsworth;
    std::vector<std::string> lines;
};

class MorseDecoderFarnsworthHolds : public testing::TestWithParam<FarnsworthCase> {};

TEST_P(MorseDecoderFarnsworthHolds, ReadsEachLetterInAHoldOfItsOwn)
{
    const FarnsworthCase& c = GetParam();
    MorseStyle style = at(c.wpm);
    style.farnsworth_wpm = c.farnsworth;
    const qint64 hang_ms = std::min<qint64>(1260, 10.5 * 1200 / c.wpm);
    KeySchedule s;
    QString reason;
    ASSERT_TRUE(morse_schedule(QString::fromUtf8(c.text), c.wpm, &s, &reason));
    apply_morse_style(s, style);
    MorseDecoder d;
    std::vector<std::string> lines;
    for (size_t i = 0; i < s.edges.size(); ++i) {
        const qint64 t = 1000 + schedule_ms(s, s.edges[i].at);
        decoder_edge(d, s.edges[i].down, t);
        if (!s.edges[i].down && i + 1 < s.edges.size() && schedule_ms(s, s.edges[i + 1].at) + 1000 - t > hang_ms)
            lines.push_back(decoder_release_line(d, t + hang_ms).toStdString());
    }
    lines.push_back(line(d));
    const std::string speed = "  (" + std::to_string(c.wpm) + " WPM)";
    std::vector<std::string> want;
    for (const std::string& l : c.lines)
        want.push_back(l.empty() ? l : l[0] == '+' ? "DECODED  \xE2\x80\xA6" + l.substr(1) + speed : "DECODED  " + l + speed);
    EXPECT_EQ(lines, want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MorseDecoderFarnsworthHolds,
    testing::Values(
        // 20/10: letter gaps of 10.9 element gaps, the first word's wait for its word gap.
        FarnsworthCase{"PARIS PARIS CQ", 20, 10, {"P", "", "", "", "", "+ARIS P", "+A", "+R", "+I", "+S", "C", "+Q"}},
        // One-letter words: gaps of one length read alike, once a letter gap tells.
        FarnsworthCase{"X A : ZC", 20, 10, {"X", "", "", "", "A : ZC"}},
        // 18/12: a letter gap of 7 element gaps, a standard word gap's length.
        FarnsworthCase{"AB CD EF", 18, 12, {"A", "+B CD", "EF"}}));

}  // namespace
