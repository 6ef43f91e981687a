#include "common/nonblocking_output.h"

#include <QIODevice>
#include <QSocketNotifier>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "common/line_queue.h"

namespace {

ssize_t write_fd(int fd, const char* data, size_t count)
{
    return ::write(fd, data, count);
}

// Takes every write at once into the line queue.
class LineQueueDevice : public QIODevice {
public:
    explicit LineQueueDevice(int fd)
    {
        queue.fd = fd;
        queue.write_bytes = write_fd;
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return true; }

    LineQueue queue;
    QSocketNotifier* writable = nullptr;  // made the first time the descriptor would block
    int saved_flags = -1;                 // as found; -1 when never changed

    // Wakes the loop when the descriptor takes bytes again, only while needed.
    void watch_if_waiting()
    {
        if (queue.waiting && !writable) {
            writable = new QSocketNotifier(queue.fd, QSocketNotifier::Write, this);
            QObject::connect(writable, &QSocketNotifier::activated, this, [this] {
                write_pending(queue);
                watch_if_waiting();
            });
        }
        if (writable)
            writable->setEnabled(queue.waiting);
    }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        queue_text(queue, data, size);
        watch_if_waiting();
        return size;
    }
};

LineQueueDevice* g_outputs[3] = {nullptr, nullptr, nullptr};
bool g_restore_registered = false;

void set_nonblocking(LineQueueDevice& d)
{
    if (d.saved_flags >= 0)
        ::fcntl(d.queue.fd, F_SETFL, d.saved_flags | O_NONBLOCK);
}

void put_flags_back(LineQueueDevice& d)
{
    if (d.saved_flags >= 0)
        ::fcntl(d.queue.fd, F_SETFL, d.saved_flags);
}

void restore_all_flags()
{
    // Standard error first and output last: when both share one open file,
    // the flags found on standard output at start are the ones left behind.
    for (int fd = 2; fd >= 1; --fd)
        if (g_outputs[fd])
            put_flags_back(*g_outputs[fd]);
}

}  // namespace

QIODevice* nonblocking_output(int fd, QByteArray (*dropped_note)(qint64 count))
{
    if (fd < 1 || fd > 2)
        return nullptr;
    if (!g_outputs[fd]) {
        auto* device = new LineQueueDevice(fd);
        if (dropped_note)
            device->queue.dropped_note = dropped_note;
        device->saved_flags = ::fcntl(fd, F_GETFL);
        set_nonblocking(*device);
        g_outputs[fd] = device;
        if (!g_restore_registered)
            g_restore_registered = std::atexit(restore_all_flags) == 0;
    }
    return g_outputs[fd];
}

FinalWrite finish_nonblocking_output(int fd, const QByteArray& last, int timeout_ms)
{
    if (fd < 1 || fd > 2 || !g_outputs[fd]) {
        LineQueue direct;
        direct.fd = fd;
        direct.write_bytes = write_fd;
        return write_final(direct, last, timeout_ms);
    }
    LineQueueDevice& d = *g_outputs[fd];
    const FinalWrite result = write_final(d.queue, last, timeout_ms);
    d.watch_if_waiting();
    return result;
}

void close_nonblocking_outputs()
{
    for (int fd = 1; fd <= 2; ++fd) {
        if (!g_outputs[fd])
            continue;
        write_pending_and_let_go(g_outputs[fd]->queue);
        if (g_outputs[fd]->writable)
            g_outputs[fd]->writable->setEnabled(false);
    }
    restore_all_flags();
}

void pause_nonblocking_outputs()
{
    restore_all_flags();
}

void resume_nonblocking_outputs()
{
    for (int fd = 1; fd <= 2; ++fd)
        if (g_outputs[fd])
            set_nonblocking(*g_outputs[fd]);
}
