// Texts are escaped by Unicode property: characters that hide, join, reorder
// or split text are escaped wherever they come from, and letters of any
// script are shown as they are.

#include <gtest/gtest.h>

#include <QString>

#include "common/text_escape.h"

namespace {

QString ucs4(uint code)
{
    return QString::fromUcs4(&code, 1);
}

QString u(uint code)
{
    return QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
}

}  // namespace

TEST(TextEscapeByProperty, HiddenAndReorderingCharactersAreEscaped)
{
    struct Range {
        uint first, last;
        const char* why;
    };
    const Range escaped[] = {
        {0x061c, 0x061c, "Arabic letter mark (Cf)"},
        {0x180e, 0x180e, "Mongolian vowel separator (Cf)"},
        {0x2060, 0x2064, "word joiner, invisible operators (Cf)"},
        {0x2028, 0x2029, "line and paragraph separators (Zl, Zp)"},
        {0xfff9, 0xfffb, "interlinear annotation (Cf)"},
        {0x0085, 0x0085, "C1 control (Cc)"},
        {0xe000, 0xe000, "private use (Co)"},
        {0x0378, 0x0378, "unassigned (Cn)"},
        {0xdc00, 0xdc00, "a lone low surrogate"},
    };
    for (const Range& r : escaped)
        for (uint code = r.first; code <= r.last; ++code)
            EXPECT_EQ(escape_text(QStringLiteral("TEST") + QChar(code) + QStringLiteral("-KEY")),
                      QStringLiteral("TEST") + u(code) + QStringLiteral("-KEY"))
                << r.why << " U+" << std::hex << code;

    // Beyond U+FFFF, as JSON writes such a code point: its UTF-16 pair.
    for (uint tag = 0xe0000; tag <= 0xe007f; ++tag) {
        const QString shown = u(QChar::highSurrogate(tag)) + u(QChar::lowSurrogate(tag));
        EXPECT_EQ(escape_text(QStringLiteral("A") + ucs4(tag)), QStringLiteral("A") + shown) << std::hex << tag;
        const QByteArray bytes = ucs4(tag).toUtf8();
        EXPECT_EQ(escape_bytes(bytes.constData(), bytes.size()), shown) << std::hex << tag;
    }
    EXPECT_EQ(escape_text(ucs4(0xf0000)), QStringLiteral("\\udb80\\udc00"));  // private use, plane 15
}

TEST(TextEscapeByProperty, LettersOfAnyScriptAndOrdinarySymbolsAreKept)
{
    const QString kept[] = {
        QStringLiteral("TEST-KEY 144"),
        QString::fromUtf8("\xc3\x89"),                      // É
        QString::fromUtf8("\xd0\xa2\xd0\x95\xd0\xa1\xd0\xa2"),  // Cyrillic
        QString::fromUtf8("\xd8\xb3\xd9\x84\xd8\xa7\xd9\x85"),  // Arabic letters
        QString::fromUtf8("\xe6\x97\xa0\xe7\xba\xbf\xe7\x94\xb5"),  // CJK
        QString::fromUtf8("\xc2\xa0\xe2\x82\xac"),              // no-break space, euro sign
        ucs4(0x1f4fb),                                          // a surrogate pair: a radio emoji
        ucs4(0x1d400),                                          // mathematical bold A
    };
    for (const QString& text : kept)
        EXPECT_EQ(escape_text(text), text) << text.toStdString();
}
