#include "report/decoded_lines.h"

#include <cerrno>
#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace {

enum : quint8 { INPUT_EDGE, INPUT_RELEASE, INPUT_QUIT_RELEASE, INPUT_END };

void poke(int fd)
{
    const quint64 one = 1;
    // Non-blocking; a counter already set wakes the reader all the same.
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

quint64 take_pokes(int fd)
{
    quint64 n = 0;
    while (::read(fd, &n, sizeof n) < 0 && errno == EINTR) {
    }
    return n;
}

// In the tick: never waits, never allocates. A full ring loses the input,
// counted; the thread then reads the keying as broken there.
void put(DecodedLines& d, quint8 kind, bool down, qint64 t_ns)
{
    const quint32 head = d.head.load(std::memory_order_relaxed);
    if (head - d.tail.load(std::memory_order_acquire) >= DECODER_RING) {
        d.lost.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    d.ring[head % DECODER_RING] = DecoderInput{t_ns, kind, down};
    d.head.store(head + 1, std::memory_order_release);
    poke(d.wake_fd);
}

void hand_over(DecodedLines& d, const QString& line, qint64 t_ns)
{
    if (line.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> lock(d.ready_mutex);
        d.ready.push_back(DecodedLine{line, t_ns});
    }
    poke(d.ready_fd);
}

// The thread: reads the ring until the end.
void decode(DecodedLines* self)
{
    DecodedLines& d = *self;
    for (;;) {
        take_pokes(d.wake_fd);  // blocks until the tick pokes
        quint32 tail = d.tail.load(std::memory_order_relaxed);
        while (tail != d.head.load(std::memory_order_acquire)) {
            const DecoderInput in = d.ring[tail % DECODER_RING];
            d.tail.store(++tail, std::memory_order_release);
            if (d.lost.exchange(0, std::memory_order_relaxed) > 0)
                decoder_lost_keying(d.decoder);
            switch (in.kind) {
            case INPUT_EDGE:
                decoder_edge(d.decoder, in.down, in.t_ns / 1000000);
                break;
            case INPUT_RELEASE:
                hand_over(d, decoder_release_line(d.decoder, in.t_ns / 1000000), in.t_ns);
                break;
            case INPUT_QUIT_RELEASE:
                hand_over(d, take_decoded_line(d.decoder), in.t_ns);
                break;
            default:
                hand_over(d, take_decoded_line(d.decoder), in.t_ns);
                return;
            }
        }
    }
}

// In the event loop (never in the tick): the lines ready, in order.
void tell_ready(DecodedLines& d)
{
    std::vector<DecodedLine> lines;
    {
        std::lock_guard<std::mutex> lock(d.ready_mutex);
        lines.swap(d.ready);
    }
    for (const DecodedLine& line : lines) {
        BenchEvent decoded = bench_event_at_ns(BenchEventKind::Decoded, line.t_ns);
        decoded.text = line.text;
        emit_bench_event(d.events, decoded);
    }
}

}  // namespace

bool start_decoded_lines(DecodedLines& d, QString* error)
{
    d.wake_fd = eventfd(0, EFD_CLOEXEC);
    d.ready_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.wake_fd < 0 || d.ready_fd < 0) {
        *error = QStringLiteral("--decode: eventfd: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    d.notifier = new QSocketNotifier(d.ready_fd, QSocketNotifier::Read);
    QObject::connect(d.notifier, &QSocketNotifier::activated, [&d] {
        take_pokes(d.ready_fd);
        tell_ready(d);
    });
    d.thread = std::thread(decode, &d);
    return true;
}

// The thread reads what is left, the end last (stamped t_ns), and ends.
void end_thread(DecodedLines& d, qint64 t_ns)
{
    if (d.ended || !d.thread.joinable())
        return;
    d.ended = true;
    // The end always finds room: the thread makes some.
    while (d.head.load() - d.tail.load() >= DECODER_RING)
        std::this_thread::yield();
    put(d, INPUT_END, false, t_ns);
    d.thread.join();
}

void finish_decoded_lines(DecodedLines& d)
{
    end_thread(d, 0);
    tell_ready(d);
}

DecodedLines::~DecodedLines()
{
    if (thread.joinable()) {
        events = nullptr;
        finish_decoded_lines(*this);
    }
    delete notifier;
    if (wake_fd >= 0)
        ::close(wake_fd);
    if (ready_fd >= 0)
        ::close(ready_fd);
}

void decoded_lines_take(void* self, const BenchEvent& e)
{
    DecodedLines& d = *static_cast<DecodedLines*>(self);
    if (d.ended)
        return;
    if (e.kind == BenchEventKind::KeyEdge) {
        put(d, INPUT_EDGE, e.level, e.t_ns);
    } else if (e.kind == BenchEventKind::DatagramTold && e.datagram == InhibitKind::Release) {
        // The decoder reads across holds: a RELEASE says what is complete,
        // the quit's RELEASE whatever is open; its line follows the
        // RELEASE's own lines and those of its faults.
        const bool quit = e.note && std::strcmp(e.note, "quit") == 0;
        put(d, quit ? INPUT_QUIT_RELEASE : INPUT_RELEASE, false, e.t_ns);
    }
}

void decoded_lines_quit_take(void* self, const BenchEvent& e)
{
    DecodedLines& d = *static_cast<DecodedLines*>(self);
    if (e.kind != BenchEventKind::Quit)
        return;
    end_thread(d, e.t_ns);
    tell_ready(d);
}

BenchSink decoded_lines_sink(DecodedLines& lines)
{
    return BenchSink{&lines, decoded_lines_take};
}

BenchSink decoded_lines_quit_sink(DecodedLines& lines)
{
    return BenchSink{&lines, decoded_lines_quit_take};
}
