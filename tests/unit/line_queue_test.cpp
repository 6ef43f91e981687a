// The bounded line queue behind standard output and standard error: what it
// keeps while the output stalls or fails, what it drops and how it says so.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/line_queue.h"

namespace {

// One fake descriptor for the whole test: what it accepts and what got out.
struct FakeOutput {
    enum Mode { Works, Stalled, Fails } mode = Works;
    size_t max_chunk = 1 << 20;  // a pipe may take part of a write
    std::string written;
    int calls = 0;
};
FakeOutput g_fake;

ssize_t fake_write(int, const char* data, size_t count)
{
    ++g_fake.calls;
    if (g_fake.mode == FakeOutput::Stalled) {
        errno = EAGAIN;
        return -1;
    }
    if (g_fake.mode == FakeOutput::Fails) {
        errno = ENOSPC;
        return -1;
    }
    const size_t n = count < g_fake.max_chunk ? count : g_fake.max_chunk;
    g_fake.written.append(data, n);
    return static_cast<ssize_t>(n);
}

std::string line(int i)
{
    // About the length of a KEEPALIVE log line.
    return "12:00:00.000  KEEPALIVE  ttl_ms=600  -> 127.0.0.1:22372  (holds=1 ka=" + std::to_string(i)
        + " rel=0)\n";
}

void put(LineQueue& q, const std::string& text)
{
    queue_text(q, text.data(), static_cast<qint64>(text.size()));
}

class LineQueueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_fake = FakeOutput{};
        q.fd = 1;
        q.write_bytes = fake_write;
    }
    LineQueue q;
};

TEST_F(LineQueueTest, FailingOutputKeepsNothingAndCountsEveryLine)
{
    g_fake.mode = FakeOutput::Fails;
    for (int i = 0; i < 20000; ++i)
        put(q, line(i));
    EXPECT_TRUE(queue_empty(q));
    EXPECT_LE(q.pending.capacity(), LINE_QUEUE_LIMIT_BYTES);
    EXPECT_EQ(q.dropped, 20000);

    // Writing works again: the count is said once, then lines go on.
    g_fake.mode = FakeOutput::Works;
    put(q, line(20000));
    put(q, line(20001));
    EXPECT_EQ(g_fake.written, dropped_lines_note(20000).toStdString() + line(20000) + line(20001));
    EXPECT_EQ(q.dropped, 0);
}

TEST_F(LineQueueTest, StalledOutputKeepsTheOldestLinesWithinTheLimitThenTheNote)
{
    g_fake.mode = FakeOutput::Stalled;
    const int total = 5000;
    for (int i = 0; i < total; ++i)
        put(q, line(i));
    EXPECT_LE(q.pending.size(), LINE_QUEUE_LIMIT_BYTES);
    EXPECT_GT(q.pending.size(), LINE_QUEUE_LIMIT_BYTES - 100);
    EXPECT_TRUE(q.waiting);
    const qint64 kept = total - q.dropped;
    EXPECT_GT(kept, 700);

    // The reader reads again, a few bytes at a time: every kept line arrives
    // whole and in order, then one note with the count, then new lines.
    g_fake.mode = FakeOutput::Works;
    g_fake.max_chunk = 7;
    write_pending(q);
    put(q, line(total));
    std::string expected;
    for (int i = 0; i < kept; ++i)
        expected += line(i);
    expected += dropped_lines_note(total - kept).toStdString() + line(total);
    EXPECT_EQ(g_fake.written, expected);
}

TEST_F(LineQueueTest, WhileStalledNoWriteIsTriedUntilTheDescriptorIsWritable)
{
    g_fake.mode = FakeOutput::Stalled;
    put(q, line(0));
    const int calls = g_fake.calls;
    for (int i = 1; i < 100; ++i)
        put(q, line(i));
    EXPECT_EQ(g_fake.calls, calls);
}

TEST_F(LineQueueTest, PiecesOfALineWaitForItsLineFeed)
{
    g_fake.mode = FakeOutput::Works;
    put(q, "partial ");
    EXPECT_EQ(g_fake.written, "");
    put(q, "line\nnext\n");
    EXPECT_EQ(g_fake.written, "partial line\nnext\n");
}

TEST_F(LineQueueTest, AFailureMidNoteKeepsTheCountOfTheLinesItStoodFor)
{
    g_fake.mode = FakeOutput::Fails;
    for (int i = 0; i < 10; ++i)
        put(q, line(i));
    put(q, line(10));  // note + line tried, both lost
    EXPECT_EQ(q.dropped, 11);
}

TEST_F(LineQueueTest, AtExitOneTryThenEverythingIsLetGo)
{
    g_fake.mode = FakeOutput::Stalled;
    for (int i = 0; i < 3; ++i)
        put(q, line(i));
    write_pending_and_let_go(q);
    EXPECT_TRUE(queue_empty(q));
    EXPECT_FALSE(q.waiting);

    // Output working at exit: what was dropped is still said.
    g_fake = FakeOutput{};
    q = LineQueue{};
    q.write_bytes = fake_write;
    q.dropped = 4;
    write_pending_and_let_go(q);
    EXPECT_EQ(g_fake.written, dropped_lines_note(4).toStdString());
}

}  // namespace
