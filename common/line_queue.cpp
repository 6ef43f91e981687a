#include "common/line_queue.h"

#include <QElapsedTimer>

#include <cerrno>
#include <poll.h>

namespace {

qint64 count_lines(const char* data, qint64 size)
{
    qint64 n = 0;
    for (qint64 i = 0; i < size; ++i)
        n += data[i] == '\n';
    return n;
}

qint64 queued_bytes(const LineQueue& q)
{
    return q.pending.size() - q.sent;
}

// Everything still queued is lost: counted as lines, a note by what it reports.
void drop_pending(LineQueue& q)
{
    qint64 lost = count_lines(q.pending.constData() + q.sent, queued_bytes(q));
    if (q.note_bytes > q.sent) {
        lost += q.note_count - 1;  // the note stood for these, not for itself
    }
    q.dropped += lost;
    q.pending.clear();
    q.sent = 0;
    q.note_bytes = 0;
    q.note_count = 0;
}

void queue_line(LineQueue& q, const char* line, qint64 size)
{
    if (q.dropped > 0) {
        // Lines already kept go out first; until they have, later ones are
        // dropped too, so the note stands right after the last kept line.
        if (!queue_empty(q)) {
            ++q.dropped;
            return;
        }
        q.pending = q.dropped_note(q.dropped);
        q.sent = 0;
        q.note_bytes = q.pending.size();
        q.note_count = q.dropped;
        q.dropped = 0;
    }
    if (queued_bytes(q) + size > q.limit_bytes) {
        ++q.dropped;
        return;
    }
    q.pending.append(line, static_cast<int>(size));
}

}  // namespace

QByteArray dropped_lines_note(qint64 count)
{
    return QByteArray("(") + QByteArray::number(count)
        + QByteArray(count == 1 ? " line" : " lines")
        + QByteArray(" of output dropped: the output was stalled or failing)\n");
}

bool queue_empty(const LineQueue& q)
{
    return queued_bytes(q) == 0;
}

void queue_text(LineQueue& q, const char* data, qint64 size)
{
    qint64 start = 0;
    for (qint64 i = 0; i < size; ++i) {
        if (data[i] != '\n')
            continue;
        if (q.partial.isEmpty()) {
            queue_line(q, data + start, i + 1 - start);
        } else {
            q.partial.append(data + start, static_cast<int>(i + 1 - start));
            queue_line(q, q.partial.constData(), q.partial.size());
            q.partial.clear();
        }
        start = i + 1;
    }
    if (start < size) {
        // A piece of a line longer than the whole queue could never go out.
        if (q.partial.size() + (size - start) > q.limit_bytes) {
            q.partial.clear();
            ++q.dropped;
        } else {
            q.partial.append(data + start, static_cast<int>(size - start));
        }
    }
    if (!q.waiting)
        write_pending(q);
}

void write_pending(LineQueue& q)
{
    q.waiting = false;
    while (!queue_empty(q)) {
        const ssize_t n = q.write_bytes(q.fd, q.pending.constData() + q.sent,
                                        static_cast<size_t>(queued_bytes(q)));
        if (n > 0) {
            q.sent += static_cast<int>(n);
            if (q.sent >= q.note_bytes) {
                q.note_bytes = 0;
                q.note_count = 0;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            q.waiting = true;
            break;
        }
        drop_pending(q);  // a closed pipe, a full disk: nothing here will go out
        return;
    }
    if (queue_empty(q)) {
        q.pending.clear();
        q.sent = 0;
    } else if (q.sent > q.limit_bytes / 2) {
        // Keep the buffer from creeping: move the unsent tail to the front.
        q.pending.remove(0, q.sent);
        q.note_bytes = q.note_bytes > q.sent ? q.note_bytes - q.sent : 0;
        q.sent = 0;
    }
}

void write_pending_and_let_go(LineQueue& q)
{
    write_pending(q);
    if (q.dropped > 0 && queue_empty(q)) {
        q.pending = q.dropped_note(q.dropped);
        q.note_bytes = q.pending.size();
        q.note_count = q.dropped;
        q.dropped = 0;
        write_pending(q);
    }
    if (!queue_empty(q))
        drop_pending(q);
    q.waiting = false;
}

namespace {

// Writes the whole queue, waiting for the descriptor until deadline_ms on
// clock. False with the errno when it could not.
bool write_waiting(LineQueue& q, const QElapsedTimer& clock, qint64 deadline_ms, int& error)
{
    while (!queue_empty(q)) {
        const ssize_t n = q.write_bytes(q.fd, q.pending.constData() + q.sent,
                                        static_cast<size_t>(queued_bytes(q)));
        if (n > 0) {
            q.sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const qint64 left = deadline_ms - clock.elapsed();
            if (left <= 0) {
                error = EAGAIN;
                return false;
            }
            pollfd p = {q.fd, POLLOUT, 0};
            poll(&p, 1, static_cast<int>(left));
            continue;
        }
        error = n < 0 ? errno : EIO;
        return false;
    }
    q.pending.clear();
    q.sent = 0;
    q.note_bytes = 0;
    q.note_count = 0;
    return true;
}

}  // namespace

FinalWrite write_final(LineQueue& q, const QByteArray& last, int timeout_ms)
{
    QElapsedTimer clock;
    clock.start();
    FinalWrite result;
    q.waiting = false;
    bool ok = write_waiting(q, clock, timeout_ms, result.error);
    if (ok && q.dropped > 0) {
        q.pending = q.dropped_note(q.dropped);
        q.note_bytes = q.pending.size();
        q.note_count = q.dropped;
        q.dropped = 0;
        ok = write_waiting(q, clock, timeout_ms, result.error);
    }
    if (!ok) {
        drop_pending(q);
        q.dropped += count_lines(last.constData(), last.size());
    } else {
        q.pending = last;  // never refused for its length
        ok = write_waiting(q, clock, timeout_ms, result.error);
        if (!ok)
            drop_pending(q);
    }
    result.whole = ok;
    return result;
}
