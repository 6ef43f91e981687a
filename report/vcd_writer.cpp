#include "report/vcd_writer.h"

#include "common/write_all.h"
#include "report/queued_file.h"

#include <QFile>
#include <QTextStream>

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

void say(VcdWriter& w, const QString& text)
{
    if (!w.err)
        return;
    *w.err << w.option_text << ": " << text << '\n';
    w.err->flush();
}

void say_failure_once(VcdWriter& w, int e)
{
    if (e == 0 || w.said_failure)
        return;
    w.said_failure = true;
    say(w, QStringLiteral("write failed (%1); the run goes on, writing no more waveform")
               .arg(QString::fromLocal8Bit(std::strerror(e))));
}

// A chunk into the queue; after a gap, every level goes first.
void put(VcdWriter& w, const VcdChunk& chunk)
{
    if (chunk.size == 0 && !w.gap)
        return;
    QueuedFile& o = *w.output;
    if (queued_file_error(o) != 0) {
        say_failure_once(w, queued_file_error(o));
        return;
    }
    if (w.gap) {
        VcdChunk levels;
        vcd_all_levels(w.track, levels);
        if (queued_file_put(o, levels.bytes, size_t(levels.size)))
            w.gap = false;
    }
    if (!w.gap && queued_file_put(o, chunk.bytes, size_t(chunk.size)))
        return;
    w.dropped_lines += chunk.lines;
    w.gap = true;
    if (!w.said_drop) {
        w.said_drop = true;
        say(w, QStringLiteral("the disk does not keep up; waveform lines are being dropped "
                              "(the run's timing is not affected)"));
    }
}

}  // namespace

bool open_vcd_writer(VcdWriter& w, const QString& path, const VcdHeader& header, int wires, QString* error,
                     int queue_bytes)
{
    const QString option_text = w.option_text;
    QTextStream* err = w.err;
    w = VcdWriter{};
    w.option_text = option_text;
    w.err = err;
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        *error = errno == EEXIST ? QStringLiteral("exists already; a waveform never overwrites a file")
                                 : QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (!write_all(fd, header.bytes.constData(), size_t(header.bytes.size()))) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    init_vcd_track(w.track, wires);
    QueuedFileRhythm rhythm;
    rhythm.interval_ms = VCD_WRITE_INTERVAL_MS;
    // Room for the levels of every wire at least, so a gap can always close.
    const size_t room = size_t(qMax(queue_bytes, 2 * VCD_CHUNK_BYTES));
    w.output = start_queued_file(fd, room, std::vector<qint64>(header.note_offsets.begin(), header.note_offsets.end()), rhythm);
    return true;
}

bool vcd_open(const VcdWriter& w)
{
    return w.output != nullptr;
}

void vcd_write_level(VcdWriter& w, qint64 t_us, int wire, bool value)
{
    if (!w.output)
        return;
    VcdChunk chunk;
    vcd_level(w.track, t_us, wire, value, chunk);
    put(w, chunk);
}

void vcd_write_mark(VcdWriter& w, qint64 t_us, int wire)
{
    if (!w.output)
        return;
    VcdChunk chunk;
    vcd_mark(w.track, t_us, wire, chunk);
    put(w, chunk);
}

void vcd_write_note(VcdWriter& w, int index, const QString& text)
{
    if (!w.output)
        return;
    queued_file_note(*w.output, index, vcd_note_line(text));
}

void close_vcd_writer(VcdWriter& w, qint64 end_us)
{
    if (!w.output)
        return;
    // The run is over: a little wait for the disk costs nothing now.
    queued_file_wait_for_room(*w.output, 2 * VCD_CHUNK_BYTES);
    VcdChunk chunk;
    vcd_end(w.track, end_us, chunk);
    put(w, chunk);
    const QueuedFileEnd end = finish_queued_file(w.output);
    w.output = nullptr;
    say_failure_once(w, end.error);
    const qint64 lost = w.dropped_lines + end.lost_lines;
    if (lost > 0)
        say(w, QStringLiteral("%1 waveform lines were lost (the disk did not keep up or failed); "
                              "after each gap every wire's level was written again")
                   .arg(lost));
}
