// The recorder: its lines, its header, a recording that replays as recorded,
// an existing file left alone and a failed write said once.

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QTextStream>

#include "morse/key_schedule.h"
#include "input/record_file.h"
#include "report/edge_recorder.h"

namespace {

QByteArray file_bytes(const QString& path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

// Files this process writes may grow to `bytes` and no further: a write
// past it is cut short, as on a disk that fills. Undone when it goes.
struct FileSizeLimit {
    rlimit before{};
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &before);
        rlimit r = before;
        r.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &r), 0);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &before); }
};

}  // namespace

TEST(EdgeRecorder, ChunksNeverFallOutsideWhatAScriptMayHold)
{
    const struct {
        qint64 left, chunk;
    } cases[] = {{1, 10}, {9, 10}, {10, 10}, {60, 60}, {600000, 600000}, {600005, 599995}, {1300000, 600000}};
    for (const auto& c : cases)
        EXPECT_EQ(record_chunk_ms(c.left), c.chunk) << c.left;
}

TEST(EdgeRecorder, HeaderNamesTheTimeAndTheCommandLineAsGiven)
{
    const QDateTime when(QDate(2026, 12, 9), QTime(5, 42, 13), Qt::UTC);
    const QByteArray h = record_header(when, {"keyline-bench", "--key-text", "CQ TEST", "--record",
                                              "it's.txt", "--station", "A\nB"});
    EXPECT_EQ(h.toStdString(),
              "# keyline-bench key script, recorded 2026-12-09T05:42:13Z\n"
              "# command line: keyline-bench --key-text 'CQ TEST' --record 'it'\\''s.txt' "
              "--station $'A\\nB'\n");
}

TEST(EdgeRecorder, ARecordingReplaysTheEdgesItSaw)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("rec.txt");
    EdgeRecorder r;
    QString error;
    ASSERT_TRUE(open_edge_recorder(r, path, "# header\n", &error)) << error.toStdString();
    // Monotonic ms of the edges the monitor saw: a 5 ms gap is written as
    // 10, and an 11-minute pause takes two lines.
    const struct {
        bool down;
        qint64 at;
    } edges[] = {{true, 5000}, {false, 5060}, {true, 5065}, {false, 5245}, {true, 5245 + 660000}, {false, 665305}};
    for (const auto& e : edges)
        record_edge(r, e.down, e.at);
    close_edge_recorder(r);

    const QByteArray content = file_bytes(path);
    EXPECT_EQ(content.toStdString(),
              "# header\ndown 60\nup 10\ndown 180\nup 600000\nup 60000\ndown 60\n");
    KeySchedule replay;
    ASSERT_TRUE(parse_key_script(content, path, &replay, &error)) << error.toStdString();
    ASSERT_EQ(replay.edges.size(), 6u);
    const qint64 expected[] = {0, 60, 70, 250, 660250, 660310};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(replay.edges[size_t(i)].at, expected[i]) << i;
}

TEST(EdgeRecorder, AnExistingFileIsNeverTouched)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("old.txt");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("down 60\n");
    }
    const QString link = dir.filePath("dangling");
    ASSERT_TRUE(QFile::link(dir.filePath("nowhere"), link));
    for (const QString& p : {path, link}) {
        EdgeRecorder r;
        QString error;
        EXPECT_FALSE(open_edge_recorder(r, p, "# header\n", &error));
        EXPECT_EQ(error, "exists already; a recording never overwrites a file");
    }
    EXPECT_EQ(file_bytes(path), "down 60\n");
    EXPECT_FALSE(QFile::exists(dir.filePath("nowhere")));
}

TEST(EdgeRecorder, AFailedWriteIsSaidOnceAndRecordingStops)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("rec.txt");
    QString said;
    QTextStream err(&said);
    EdgeRecorder r;
    QString error;
    {
        FileSizeLimit limit(9);  // the header and nothing more
        ASSERT_TRUE(open_edge_recorder(r, path, "# header\n", &error)) << error.toStdString();
        r.err = &err;
        for (int i = 0; i < 20; ++i) {
            record_edge(r, i % 2 == 0, 1000 + 60 * i);
            usleep(2000);  // the writer thread meets the full disk in between
        }
        close_edge_recorder(r);
    }
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(said.count("keyline-bench: --record " + path + ": write failed ("), 1) << said.toStdString();
    EXPECT_EQ(file_bytes(path), "# header\n");
}

TEST(EdgeRecorder, TheClosingLineLeavesAtLeastAWordGap)
{
    const struct {
        bool ends_down;
        double dit_ms;
        qint64 after;  // from the last edge to the end of the run
        const char* content;
    } cases[] = {
        {false, 60.0, 700, "down 60\nup 700\n"},  // the hang and more: as long as it was
        {false, 60.0, 100, "down 60\nup 420\n"},  // cut short (q): one word gap, 7 dits
        {false, 0.0, 100, "down 60\nup 100\n"},   // no estimate: as long as it was
        {true, 60.0, 30, "down 60\nup 60\ndown 30\nup 420\n"},  // quit while down
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        const QString path = dir.filePath("rec.txt");
        EdgeRecorder r;
        QString error;
        ASSERT_TRUE(open_edge_recorder(r, path, "", &error)) << error.toStdString();
        record_edge(r, true, 880);
        note_dit_estimate(r, c.dit_ms);
        note_dit_estimate(r, 0.0);  // a released hold forgets; the recorder does not
        record_edge(r, false, 940);
        qint64 last = 940;
        if (c.ends_down)
            record_edge(r, true, last = 1000);
        finish_edge_recorder(r, last + c.after);
        finish_edge_recorder(r, last + c.after + 5000);  // a second call adds nothing
        close_edge_recorder(r);
        EXPECT_EQ(file_bytes(path).toStdString(), c.content) << c.after;
    }
}

TEST(EdgeRecorder, ADiskThatFillsLeavesOnlyWholeLines)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("rec.txt");
    QString said;
    QTextStream err(&said);
    EdgeRecorder r;
    QString error;
    {
        FileSizeLimit limit(9 + 8 + 4);  // the header, "down 60\n" and 4 bytes of "up 100\n"
        ASSERT_TRUE(open_edge_recorder(r, path, "# header\n", &error)) << error.toStdString();
        r.err = &err;
        record_edge(r, true, 1000);
        record_edge(r, false, 1060);
        record_edge(r, true, 1160);
        record_edge(r, false, 1220);
        finish_edge_recorder(r, 2000);
        close_edge_recorder(r);
    }
    EXPECT_EQ(file_bytes(path), "# header\ndown 60\n");
    EXPECT_EQ(said.count("write failed"), 1) << said.toStdString();
    KeySchedule replay;
    EXPECT_TRUE(parse_key_script(file_bytes(path), path, &replay, &error)) << error.toStdString();
}

TEST(EdgeRecorder, AHeaderThatCannotBeWrittenLeavesNoFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("rec.txt");
    EdgeRecorder r;
    QString error;
    {
        FileSizeLimit limit(4);
        EXPECT_FALSE(open_edge_recorder(r, path, "# header\n", &error));
    }
    EXPECT_EQ(error, "File too large");
    EXPECT_FALSE(QFile::exists(path));
    // So the retry is not refused as "exists already".
    EXPECT_TRUE(open_edge_recorder(r, path, "# header\n", &error)) << error.toStdString();
    close_edge_recorder(r);
}
