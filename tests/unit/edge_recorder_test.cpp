// The recorder: its lines, its header, a recording that replays as recorded,
// an existing file left alone and a failed write said once.

#include <gtest/gtest.h>

#include <fcntl.h>

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QTextStream>

#include "input/key_schedule.h"
#include "monitor/edge_recorder.h"

namespace {

QByteArray file_bytes(const QString& path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

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
    QString said;
    QTextStream err(&said);
    EdgeRecorder r;
    r.fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(r.fd, 0);
    r.name = "rec.txt";
    r.err = &err;
    record_edge(r, true, 1000);
    record_edge(r, false, 1060);
    record_edge(r, true, 1120);
    record_edge(r, false, 1180);
    close_edge_recorder(r);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(said.count("keyline-bench: --record rec.txt: write failed ("), 1) << said.toStdString();
}
