// The waveform file: what a level and a mark write, that hostile text cannot
// end a header comment, the size of an hour's hold, an existing file left
// alone, the header notes filled in place, and a queue that overflows.

#include <gtest/gtest.h>

#include <pthread.h>

#include <QDateTime>
#include <QFile>
#include <QSet>
#include <QString>
#include <QTemporaryDir>
#include <QTextStream>

#include "report/vcd_format.h"
#include "report/vcd_writer.h"

namespace {

QByteArray text(const VcdChunk& c)
{
    return QByteArray(c.bytes, c.size);
}

QByteArray file_bytes(const QString& path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

VcdHeaderFields header_with(const QStringList& arguments, int wires, int notes = 0)
{
    VcdHeaderFields fields;
    fields.program = QStringLiteral("keyline-bench 2.1");
    fields.start = QDateTime(QDate(2026, 12, 9), QTime(5, 42, 13, 250), Qt::UTC);
    fields.arguments = arguments;
    fields.scope = QStringLiteral("top");
    for (int i = 0; i < wires; ++i)
        fields.wire_names << QStringLiteral("w%1").arg(i);
    fields.note_title = QStringLiteral("notes:");
    fields.notes = notes;
    return fields;
}

// The text between "$comment"/"$date"/"$version" and the "$end" that closes it.
QList<QByteArray> comment_bodies(const QByteArray& header)
{
    QList<QByteArray> bodies;
    for (const char* keyword : {"$date", "$version", "$comment"}) {
        int at = 0;
        while ((at = header.indexOf(keyword, at)) >= 0) {
            at += int(strlen(keyword));
            const int end = header.indexOf("$end", at);
            bodies << header.mid(at, end - at);
        }
    }
    return bodies;
}

}  // namespace

TEST(VcdFormat, LevelsStampOnlyWhenTimeMovesAndNeverGoBack)
{
    VcdTrack t;
    init_vcd_track(t, 3);
    const struct {
        qint64 at;
        int wire;
        bool value;
        const char* written;
    } steps[] = {
        {100, 0, true, "#100\n1!\n"},
        {100, 1, true, "1\"\n"},       // same stamp: no new stamp
        {150, 1, true, ""},            // no change, nothing
        {90, 2, true, "1#\n"},         // stamped before the last: written at it
        {200, 0, false, "#200\n0!\n"},
    };
    for (const auto& s : steps) {
        VcdChunk c;
        vcd_level(t, s.at, s.wire, s.value, c);
        EXPECT_EQ(text(c), QByteArray(s.written)) << s.at;
    }
}

TEST(VcdFormat, EveryMarkIsItsOwnPulseUntilAMillisecondsFlood)
{
    VcdTrack t;
    init_vcd_track(t, 2);
    VcdChunk c;
    vcd_mark(t, 5000, 1, c);
    EXPECT_EQ(text(c), QByteArray("#5000\n1\"\n#5001\n0\"\n"));
    VcdChunk same;
    vcd_mark(t, 5000, 1, same);  // stamped alike: after a microsecond low
    EXPECT_EQ(text(same), QByteArray("#5002\n1\"\n#5003\n0\"\n"));

    int pulses = 2;
    for (int i = 0; i < 2000; ++i) {
        VcdChunk flood;
        vcd_mark(t, 5000, 1, flood);
        pulses += flood.size > 0;
    }
    EXPECT_EQ(pulses, 500);  // every other microsecond of that millisecond
    EXPECT_LT(t.last_us, 5000 + VCD_MARK_SPREAD_US);
}

TEST(VcdFormat, IdentifiersAreDistinctPrintableAndShort)
{
    QSet<QByteArray> seen;
    for (int i = 0; i < VCD_MAX_WIRES; ++i) {
        char id[3];
        vcd_id(i, id);
        const QByteArray b(id);
        EXPECT_TRUE(b.size() == 1 || b.size() == 2) << i;
        for (const char ch : b)
            EXPECT_TRUE(ch > ' ' && ch <= '~') << i;
        seen.insert(b);
    }
    EXPECT_EQ(seen.size(), VCD_MAX_WIRES);
}

TEST(VcdFormat, HostileTextNeverEndsAHeaderComment)
{
    const QStringList hostile = {"$end", "a $end b", "x\n$end\n", "$enddefinitions", "back\\slash",
                                 QString::fromUtf8("\xc3\xa9t\xc3\xa9"), QStringLiteral("tab\there")};
    for (const QString& h : hostile) {
        const VcdHeader header = vcd_header(header_with({"keyline-bench", "--station", h}, 2));
        for (const QByteArray& body : comment_bodies(header.bytes)) {
            EXPECT_FALSE(body.contains('$')) << h.toStdString();
            for (const char ch : body)
                EXPECT_TRUE(ch == '\n' || (ch >= ' ' && ch <= '~')) << h.toStdString();
        }
    }
    EXPECT_EQ(vcd_command_line({"keyline-bench", "--station", "A$end", "it's"}),
              QByteArray("keyline-bench --station 'A\\x24end' 'it'\\x5c''s'"));
}

TEST(VcdFormat, NotesFillTheirLineExactly)
{
    for (const QString& note : {QString(), QStringLiteral("s0: 127.0.0.1:4000"), QString(500, QLatin1Char('$'))}) {
        const QByteArray line = vcd_note_line(note);
        EXPECT_EQ(line.size(), VCD_NOTE_WIDTH);
        EXPECT_FALSE(line.contains('$'));
    }
    EXPECT_TRUE(vcd_note_line(QString(500, QLatin1Char('x'))).trimmed().endsWith("..."));
}

// A latched hold for an hour: a keepalive every 200 ms, on the bench as a
// mark on its wire, on the station as an arrival; the hold itself is one level.
TEST(VcdFormat, AnHoursHoldIsUnderAMegabyte)
{
    VcdTrack t;
    init_vcd_track(t, 80);
    qint64 bytes = 0;
    VcdChunk c;
    vcd_level(t, 0, 2, true, c);
    bytes += c.size;
    const qint64 hour_us = 3600LL * 1000 * 1000;
    for (qint64 at = 200000; at < hour_us; at += 200000) {
        VcdChunk mark;
        vcd_mark(t, at, 79, mark);
        bytes += mark.size;
    }
    EXPECT_LT(bytes, 1024 * 1024);
    EXPECT_GT(bytes, 18000 * 4);  // every keepalive is there
}

TEST(VcdWriter, NeverOverwritesAndFillsNotesInPlace)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("run.vcd");
    const VcdHeader header = vcd_header(header_with({"keyline-station"}, 3, 2));

    VcdWriter w;
    QString error;
    ASSERT_TRUE(open_vcd_writer(w, path, header, 3, &error)) << error.toStdString();
    vcd_write_level(w, 10, 0, true);
    vcd_write_mark(w, 20, 1);
    vcd_write_note(w, 1, QStringLiteral("s1: 127.0.0.1:5000"));
    close_vcd_writer(w, 30);

    const QByteArray bytes = file_bytes(path);
    EXPECT_TRUE(bytes.startsWith(header.bytes.left(int(header.note_offsets[0]))));
    EXPECT_EQ(bytes.size(), header.bytes.size() + QByteArray("#10\n1!\n#20\n1\"\n#21\n0\"\n#30\n").size());
    EXPECT_TRUE(bytes.endsWith("$end\n#10\n1!\n#20\n1\"\n#21\n0\"\n#30\n"));
    EXPECT_EQ(bytes.mid(int(header.note_offsets[1]), VCD_NOTE_WIDTH),
              vcd_note_line(QStringLiteral("s1: 127.0.0.1:5000")));
    EXPECT_EQ(bytes.mid(int(header.note_offsets[0]), VCD_NOTE_WIDTH), QByteArray(VCD_NOTE_WIDTH, ' '));

    VcdWriter again;
    EXPECT_FALSE(open_vcd_writer(again, path, header, 3, &error));
    EXPECT_TRUE(error.contains("exists already"));
    EXPECT_EQ(file_bytes(path), bytes);
    ASSERT_TRUE(QFile::link(path, dir.filePath("link.vcd")));
    EXPECT_FALSE(open_vcd_writer(again, dir.filePath("link.vcd"), header, 3, &error));
}

// A queue far too small for a burst: lines are dropped and counted, the run
// is told once, and after the gap every level is written again, so the file
// ends with the levels the program had.
TEST(VcdWriter, AnOverflowCostsLinesNotLevels)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("burst.vcd");
    const VcdHeader header = vcd_header(header_with({"keyline-bench"}, 3));
    QString said;
    QTextStream err(&said);
    VcdWriter w;
    w.option_text = QStringLiteral("keyline-bench: --vcd burst.vcd");
    w.err = &err;
    QString error;
    ASSERT_TRUE(open_vcd_writer(w, path, header, 3, &error, 64));

    bool level = false;
    qint64 at = 0;
    for (int i = 0; i < 1000000 && w.dropped_lines == 0; ++i) {
        at += 10;
        level = !level;
        vcd_write_level(w, at, 0, level);
        vcd_write_mark(w, at, 1);
    }
    ASSERT_GT(w.dropped_lines, 0);
    vcd_write_level(w, at + 10, 2, true);
    close_vcd_writer(w, at + 20);

    EXPECT_EQ(said.count(QStringLiteral("lines are being dropped")), 1);
    EXPECT_TRUE(said.contains(QStringLiteral("waveform lines were lost")));
    // The last value of each wire in the file is the program's.
    const QList<QByteArray> lines = file_bytes(path).split('\n');
    QByteArray last[3];
    qint64 stamp = -1;
    for (const QByteArray& line : lines) {
        if (line.startsWith('#')) {
            const qint64 t = line.mid(1).toLongLong();
            EXPECT_GE(t, stamp);
            stamp = t;
        } else if (line.size() == 2 && (line[0] == '0' || line[0] == '1') && line[1] >= '!' && line[1] <= '#') {
            last[line[1] - '!'] = line.left(1);
        }
    }
    EXPECT_EQ(last[0], QByteArray(level ? "1" : "0"));
    EXPECT_EQ(last[1], QByteArray("0"));
    EXPECT_EQ(last[2], QByteArray("1"));
    EXPECT_EQ(stamp, at + 20);
}

#if defined(__SANITIZE_ADDRESS__)
#define KEYLINE_COUNTS_ALLOCATIONS 1
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, std::size_t), void (*free_hook)(const volatile void*));
#endif

namespace {
volatile std::size_t g_allocations = 0;
pthread_t g_counted_thread;
// Only the program's thread: the writer's may allocate what it likes.
[[maybe_unused]] void count_allocation(const volatile void*, std::size_t)
{
    if (pthread_equal(pthread_self(), g_counted_thread))
        g_allocations = g_allocations + 1;
}
[[maybe_unused]] void ignore_free(const volatile void*) {}
}  // namespace

// What the tick and the keepalive call: no allocation.
TEST(VcdWriter, LevelsAndMarksAllocateNothing)
{
#ifndef KEYLINE_COUNTS_ALLOCATIONS
    GTEST_SKIP() << "allocations are counted through the AddressSanitizer build's hooks";
#else
    QTemporaryDir dir;
    VcdWriter w;
    QString error;
    ASSERT_TRUE(open_vcd_writer(w, dir.filePath("quiet.vcd"), vcd_header(header_with({"x"}, 3)), 3, &error));
    g_counted_thread = pthread_self();
    __sanitizer_install_malloc_and_free_hooks(count_allocation, ignore_free);
    const std::size_t before = g_allocations;
    for (int i = 1; i <= 2000; ++i) {
        vcd_write_level(w, i * 100, 0, i % 2 == 0);
        vcd_write_mark(w, i * 100 + 50, 1);
    }
    const std::size_t counted = g_allocations - before;
    __sanitizer_install_malloc_and_free_hooks(nullptr, nullptr);
    close_vcd_writer(w, 300000);
    EXPECT_EQ(counted, 0u);
#endif
}
