// A log command whose lines pile up untaken: the watch must hear that lines
// were let go, never judge on a queue with a hole in it.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "watch/log_command.h"

TEST(LogCommand, LinesLetGoEndTheQueueWithOneLostMark)
{
    LogCommand log;
    log.command = QStringLiteral("yes inhibited | head -n %1").arg(LOG_QUEUE_LIMIT + 500);
    log.inhibited = QRegularExpression(QStringLiteral("^inhibited$"));
    log.free = QRegularExpression(QStringLiteral("^free$"));
    QString error;
    ASSERT_TRUE(start_log_command(log, error)) << error.toStdString();

    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    qint64 let_go = 0;
    while (std::chrono::steady_clock::now() < give_up) {
        {
            std::lock_guard<std::mutex> lock(log.queue.mutex);
            let_go = log.queue.let_go;
        }
        if (let_go >= 500)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::vector<LogLine> lines;
    take_log_lines(log, lines);
    stop_log_command(log);

    ASSERT_GE(let_go, 500);
    ASSERT_EQ(lines.size(), size_t(LOG_QUEUE_LIMIT) + 1);
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        ASSERT_TRUE(lines[i].lost.isEmpty() && lines[i].inhibited) << i;
    EXPECT_FALSE(lines.back().lost.isEmpty());
}
