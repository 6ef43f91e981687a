#include "report/vcd_writer.h"

#include "common/write_all.h"

#include <QFile>
#include <QTextStream>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

struct VcdNoteSlot {
    qint64 offset = 0;
    QByteArray line;     // VCD_NOTE_WIDTH bytes, reserved at open
    bool dirty = false;
};

struct VcdOutput {
    int fd = -1;
    std::vector<char> ring;  // allocated once at open
    std::mutex mutex;        // guards the indices, the notes and stop
    std::condition_variable wake;
    size_t head = 0;         // next byte written by the program
    size_t tail = 0;         // next byte written to the file
    size_t used = 0;
    std::vector<VcdNoteSlot> notes;
    bool notes_dirty = false;
    bool stop = false;
    std::atomic<int> failed_errno{0};
    std::atomic<qint64> lost_lines{0};  // queued, then lost to a failed write
    std::thread thread;
};

namespace {

bool pwrite_all(int fd, const char* bytes, size_t size, off_t offset)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, bytes, size, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        size -= size_t(n);
        offset += n;
    }
    return true;
}

qint64 count_lines(const char* bytes, size_t size)
{
    qint64 n = 0;
    for (size_t i = 0; i < size; ++i)
        n += bytes[i] == '\n';
    return n;
}

void fail(VcdOutput& o)
{
    int expected = 0;
    o.failed_errno.compare_exchange_strong(expected, errno ? errno : EIO);
}

// The thread: takes what is queued, writes it outside the lock, repeats.
void writer_loop(VcdOutput* o)
{
    std::unique_lock<std::mutex> lock(o->mutex);
    for (;;) {
        o->wake.wait_for(lock, std::chrono::milliseconds(VCD_WRITE_INTERVAL_MS), [o] {
            return o->stop || o->notes_dirty || o->used >= o->ring.size() / 4;
        });
        while (o->used > 0 || o->notes_dirty) {
            const size_t span = std::min(o->used, o->ring.size() - o->tail);
            const char* from = o->ring.data() + o->tail;
            std::vector<VcdNoteSlot> notes;
            if (o->notes_dirty) {
                // Rare (a new sender, the end): copying here is fine.
                for (VcdNoteSlot& n : o->notes) {
                    if (n.dirty)
                        notes.push_back(n);
                    n.dirty = false;
                }
                o->notes_dirty = false;
            }
            lock.unlock();
            if (o->failed_errno.load() == 0 && span > 0 && !write_all(o->fd, from, span))
                fail(*o);
            if (o->failed_errno.load() != 0)
                o->lost_lines += count_lines(from, span);
            for (const VcdNoteSlot& n : notes)
                if (o->failed_errno.load() == 0 && !pwrite_all(o->fd, n.line.constData(), size_t(n.line.size()), off_t(n.offset)))
                    fail(*o);
            lock.lock();
            o->tail = (o->tail + span) % o->ring.size();
            o->used -= span;
        }
        if (o->stop)
            return;
    }
}

// Copies one chunk into the queue, whole or not at all.
bool enqueue(VcdOutput& o, const char* bytes, int size)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(o.mutex);
        if (o.ring.size() - o.used < size_t(size))
            return false;
        const size_t first = std::min(size_t(size), o.ring.size() - o.head);
        std::memcpy(o.ring.data() + o.head, bytes, first);
        std::memcpy(o.ring.data(), bytes + first, size_t(size) - first);
        o.head = (o.head + size_t(size)) % o.ring.size();
        o.used += size_t(size);
        wake = o.used >= o.ring.size() / 4;
    }
    if (wake)
        o.wake.notify_one();
    return true;
}

// At the end only: up to two seconds for the thread to make room.
void wait_for_room(VcdOutput& o, size_t size)
{
    for (int i = 0; i < 200 && o.failed_errno.load() == 0; ++i) {
        {
            std::lock_guard<std::mutex> lock(o.mutex);
            if (o.ring.size() - o.used >= size)
                return;
        }
        o.wake.notify_one();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void say(VcdWriter& w, const QString& text)
{
    if (!w.err)
        return;
    *w.err << w.option_text << ": " << text << '\n';
    w.err->flush();
}

void say_failure_once(VcdWriter& w)
{
    const int e = w.output->failed_errno.load();
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
    VcdOutput& o = *w.output;
    if (o.failed_errno.load() != 0) {
        say_failure_once(w);
        return;
    }
    if (w.gap) {
        VcdChunk levels;
        vcd_all_levels(w.track, levels);
        if (enqueue(o, levels.bytes, levels.size))
            w.gap = false;
    }
    if (!w.gap && enqueue(o, chunk.bytes, chunk.size))
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
    auto* o = new VcdOutput;
    o->fd = fd;
    // Room for the levels of every wire at least, so a gap can always close.
    o->ring.resize(size_t(qMax(queue_bytes, 2 * VCD_CHUNK_BYTES)));
    for (const qint64 offset : header.note_offsets) {
        VcdNoteSlot slot;
        slot.offset = offset;
        o->notes.push_back(slot);
    }
    // Signals stay with the program's own thread, as they were before.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    o->thread = std::thread(writer_loop, o);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    w.output = o;
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
    VcdOutput& o = *w.output;
    if (index < 0 || index >= int(o.notes.size()))
        return;
    const QByteArray line = vcd_note_line(text);
    {
        std::lock_guard<std::mutex> lock(o.mutex);
        o.notes[size_t(index)].line = line;
        o.notes[size_t(index)].dirty = true;
        o.notes_dirty = true;
    }
    o.wake.notify_one();
}

void close_vcd_writer(VcdWriter& w, qint64 end_us)
{
    if (!w.output)
        return;
    // The run is over: a little wait for the disk costs nothing now.
    wait_for_room(*w.output, 2 * VCD_CHUNK_BYTES);
    VcdChunk chunk;
    vcd_end(w.track, end_us, chunk);
    put(w, chunk);
    VcdOutput* o = w.output;
    {
        std::lock_guard<std::mutex> lock(o->mutex);
        o->stop = true;
    }
    o->wake.notify_one();
    o->thread.join();
    say_failure_once(w);
    const qint64 lost = w.dropped_lines + o->lost_lines.load();
    if (lost > 0)
        say(w, QStringLiteral("%1 waveform lines were lost (the disk did not keep up or failed); "
                              "after each gap every wire's level was written again")
                   .arg(lost));
    ::close(o->fd);
    delete o;
    w.output = nullptr;
}
