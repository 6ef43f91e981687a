// Replays key scripts through the KEYing monitor and the Morse decoder on a
// fake clock, a millisecond at a time: the program's hold logic and decoder
// without its process, its ticks or the machine's load. Each script's
// DECODED lines are printed after a "== PATH" line, as the program prints
// them; then the decoder's CPU time per edge and per RELEASE (the worst and
// the mean), which the tick must never wait for.
//
//   decoder-replay SCRIPT...

#include <algorithm>
#include <cstdio>
#include <time.h>

#include <QByteArray>
#include <QString>

#include "input/key_script_file.h"
#include "monitor/keying_monitor.h"
#include "morse/key_schedule.h"
#include "morse/morse_decoder.h"

namespace {

struct CpuTimes {
    double worst_ns = 0.0;
    double total_ns = 0.0;
    long count = 0;
};

double thread_cpu_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

void count(CpuTimes& t, double ns)
{
    t.worst_ns = std::max(t.worst_ns, ns);
    t.total_ns += ns;
    ++t.count;
}

CpuTimes edge_times, release_times;

void print_line(const QString& line)
{
    if (!line.isEmpty())
        std::printf("0  %s\n", line.toUtf8().constData());
}

bool replay(const char* path)
{
    QByteArray content;
    QString error;
    KeySchedule s;
    if (!read_key_script(QString::fromLocal8Bit(path), &content, &error) ||
        !parse_key_script(content, QString::fromLocal8Bit(path), &s, &error)) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        return false;
    }
    std::printf("== %s\n", path);
    MorseDecoder* d = new MorseDecoder;
    Monitor m;
    qint64 deadline = -1;
    m.hang_deadline_ms = &deadline;
    bool released = false;
    m.hold.release_hold = [&](const char*) { released = true; };
    const qint64 start = 1000;
    const qint64 end = start + schedule_ms(s, s.end_units);
    std::size_t next = 0;
    for (qint64 now = start; now <= end || deadline >= 0 || m.key_asserted; ++now) {
        while (next < s.edges.size() && start + schedule_ms(s, s.edges[next].at) <= now) {
            const bool down = s.edges[next++].down;
            const double t0 = thread_cpu_ns();
            decoder_edge(*d, down, now);
            count(edge_times, thread_cpu_ns() - t0);
            if (down && !m.key_asserted)
                on_key_assert(m, now);
            else if (!down && m.key_asserted)
                on_key_open(m, now);
        }
        if (!m.key_asserted)
            check_hang_expiry(m, now);
        if (released) {
            released = false;
            const double t0 = thread_cpu_ns();
            const QString line = decoder_release_line(*d, now);
            count(release_times, thread_cpu_ns() - t0);
            print_line(line);
        }
    }
    print_line(take_decoded_line(*d));
    delete d;
    return true;
}

void print_times(const char* what, const CpuTimes& t)
{
    std::fprintf(stderr, "%s: %ld, CPU worst %.3f ms, mean %.3f ms\n", what, t.count, t.worst_ns / 1e6,
                 t.count ? t.total_ns / t.count / 1e6 : 0.0);
}

}  // namespace

int main(int argc, char** argv)
{
    bool ok = true;
    for (int i = 1; i < argc; ++i)
        ok = replay(argv[i]) && ok;
    print_times("decoder per edge", edge_times);
    print_times("decoder per RELEASE", release_times);
    std::fflush(stdout);
    return ok ? 0 : 1;
}
