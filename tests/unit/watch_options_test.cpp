// The number and expression checks both keyline-station and keyline-conform
// use for their command lines: what each refuses, with the same words.

#include <gtest/gtest.h>

#include <QString>

#include "common/whole_number.h"
#include "watch/watch_options.h"

TEST(WholeNumber, DigitsOnlyWithinTheRangeAndNoLongerThanItsLargest)
{
    const struct {
        const char* text;
        int low, high;
        int expected;
    } cases[] = {
        {"0", 0, 65535, 0},          {"65535", 0, 65535, 65535}, {"65536", 0, 65535, -1},
        {"065535", 0, 65535, -1},    // longer than the largest, though it is that number
        {"00050", 0, 10000, 50},     {"", 0, 10, -1},            {"+5", 0, 10, -1},
        {" 5", 0, 10, -1},           {"5.0", 0, 10, -1},         {"0", 1, 2000, -1},
        {"999999999", 0, 999999999, 999999999},                  {"1000000000", 0, 999999999, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(whole_number_in(QString::fromLatin1(c.text), c.low, c.high), c.expected) << c.text;
}

TEST(WatchOptions, PollAndExpressionRefusals)
{
    int poll_ms = 10;
    QString error;
    EXPECT_TRUE(read_watch_poll_ms(QStringLiteral("1000"), &poll_ms, &error));
    EXPECT_EQ(poll_ms, 1000);
    EXPECT_FALSE(read_watch_poll_ms(QStringLiteral("0"), &poll_ms, &error));
    EXPECT_EQ(poll_ms, 1000);  // left as it was
    EXPECT_EQ(error, QStringLiteral("--watch-poll-ms must be a whole number 1..1000: 0"));

    EXPECT_EQ(watch_expression_problem(QStringLiteral("TX (on|off)")), QString());
    EXPECT_EQ(watch_expression_problem(QString()), QStringLiteral("empty"));
    EXPECT_FALSE(watch_expression_problem(QStringLiteral("(unclosed")).isEmpty());
    EXPECT_NE(watch_expression_problem(QStringLiteral("(unclosed")), QStringLiteral("empty"));
}
