#include "report/queued_file.h"

#include "common/write_all.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

struct QueuedNote {
    qint64 offset = 0;
    QByteArray line;
    bool dirty = false;
};

struct QueuedFile {
    int fd = -1;
    off_t end = 0;           // the file's length: everything written so far
    QueuedFileRhythm rhythm;
    std::vector<char> ring;  // allocated once at start
    std::mutex mutex;        // guards the indices, the notes and stop
    std::condition_variable wake;
    std::size_t head = 0;    // next byte put by the program
    std::size_t tail = 0;    // next byte written to the file
    std::size_t used = 0;
    std::vector<QueuedNote> notes;
    bool notes_dirty = false;
    bool stop = false;
    std::atomic<int> failed_errno{0};
    std::atomic<qint64> lost_lines{0};
    std::thread thread;
};

namespace {

qint64 count_lines(const char* bytes, std::size_t size)
{
    qint64 n = 0;
    for (std::size_t i = 0; i < size; ++i)
        n += bytes[i] == '\n';
    return n;
}

void fail(QueuedFile& f, int error)
{
    int expected = 0;
    f.failed_errno.compare_exchange_strong(expected, error ? error : EIO);
}

// Appends a span of whole lines. A write cut short is cut back to the last
// whole line it got out, so the file stays a run of whole lines; what did
// not get out is counted lost.
void append_span(QueuedFile& f, const char* bytes, std::size_t size)
{
    if (f.failed_errno.load() != 0) {
        f.lost_lines += count_lines(bytes, size);
        return;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(f.fd, bytes + done, size - done, f.end + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(f, n < 0 ? errno : ENOSPC);
            std::size_t whole = done;
            while (whole > 0 && bytes[whole - 1] != '\n')
                --whole;
            while (::ftruncate(f.fd, f.end + off_t(whole)) < 0 && errno == EINTR) {
            }
            f.end += off_t(whole);
            f.lost_lines += count_lines(bytes + whole, size - whole);
            return;
        }
        done += std::size_t(n);
    }
    f.end += off_t(size);
}

// The thread: takes what is queued, writes it outside the lock, repeats.
void writer_loop(QueuedFile* f)
{
    std::unique_lock<std::mutex> lock(f->mutex);
    for (;;) {
        f->wake.wait_for(lock, std::chrono::milliseconds(f->rhythm.interval_ms), [f] {
            return f->stop || f->notes_dirty || f->used >= f->ring.size() / 4 ||
                   (f->rhythm.wake_each_put && f->used > 0);
        });
        while (f->used > 0 || f->notes_dirty) {
            const std::size_t span = std::min(f->used, f->ring.size() - f->tail);
            const char* from = f->ring.data() + f->tail;
            std::vector<QueuedNote> notes;
            if (f->notes_dirty) {
                // Rare (a new sender, the end): copying here is fine.
                for (QueuedNote& n : f->notes) {
                    if (n.dirty)
                        notes.push_back(n);
                    n.dirty = false;
                }
                f->notes_dirty = false;
            }
            lock.unlock();
            append_span(*f, from, span);
            for (const QueuedNote& n : notes)
                if (f->failed_errno.load() == 0 &&
                    !write_all_at(f->fd, n.line.constData(), std::size_t(n.line.size()), n.offset))
                    fail(*f, errno);
            lock.lock();
            f->tail = (f->tail + span) % f->ring.size();
            f->used -= span;
        }
        if (f->stop)
            return;
    }
}

}  // namespace

QueuedFile* start_queued_file(int fd, std::size_t queue_bytes, const std::vector<qint64>& note_offsets,
                              QueuedFileRhythm rhythm)
{
    auto* f = new QueuedFile;
    f->fd = fd;
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    f->end = end < 0 ? 0 : end;
    f->rhythm = rhythm;
    f->ring.resize(queue_bytes);
    for (const qint64 offset : note_offsets) {
        QueuedNote note;
        note.offset = offset;
        f->notes.push_back(note);
    }
    // Signals stay with the program's own thread.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    f->thread = std::thread(writer_loop, f);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return f;
}

bool queued_file_put(QueuedFile& f, const char* bytes, std::size_t size)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(f.mutex);
        if (f.ring.size() - f.used < size)
            return false;
        const std::size_t first = std::min(size, f.ring.size() - f.head);
        std::memcpy(f.ring.data() + f.head, bytes, first);
        std::memcpy(f.ring.data(), bytes + first, size - first);
        f.head = (f.head + size) % f.ring.size();
        f.used += size;
        wake = f.rhythm.wake_each_put || f.used >= f.ring.size() / 4;
    }
    if (wake)
        f.wake.notify_one();
    return true;
}

void queued_file_note(QueuedFile& f, int index, const QByteArray& line)
{
    if (index < 0 || index >= int(f.notes.size()))
        return;
    {
        std::lock_guard<std::mutex> lock(f.mutex);
        f.notes[std::size_t(index)].line = line;
        f.notes[std::size_t(index)].dirty = true;
        f.notes_dirty = true;
    }
    f.wake.notify_one();
}

int queued_file_error(const QueuedFile& f)
{
    return f.failed_errno.load();
}

void queued_file_wait_for_room(QueuedFile& f, std::size_t size)
{
    for (int i = 0; i < 200 && f.failed_errno.load() == 0; ++i) {
        {
            std::lock_guard<std::mutex> lock(f.mutex);
            if (f.ring.size() - f.used >= size)
                return;
        }
        f.wake.notify_one();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

QueuedFileEnd finish_queued_file(QueuedFile* f)
{
    {
        std::lock_guard<std::mutex> lock(f->mutex);
        f->stop = true;
    }
    f->wake.notify_one();
    f->thread.join();
    ::close(f->fd);
    QueuedFileEnd end;
    end.error = f->failed_errno.load();
    end.lost_lines = f->lost_lines.load();
    delete f;
    return end;
}
