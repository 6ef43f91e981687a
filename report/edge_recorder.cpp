#include "report/edge_recorder.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <QDateTime>
#include <QTextStream>

#include "morse/key_schedule.h"
#include "input/record_file.h"
#include "report/queued_file.h"

namespace {

bool plain_shell_word(const QString& a)
{
    if (a.isEmpty())
        return false;
    for (const QChar c : a) {
        const ushort u = c.unicode();
        const bool safe = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
            QStringLiteral("_@%+=:,./-").contains(c);
        if (!safe)
            return false;
    }
    return true;
}

bool has_control(const QString& a)
{
    for (const QChar c : a)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    return false;
}

}  // namespace

QString shell_quoted(const QString& a)
{
    if (plain_shell_word(a))
        return a;
    if (!has_control(a)) {
        QString q = a;
        q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
        return QStringLiteral("'%1'").arg(q);
    }
    // A line break must not end the comment line it stands in.
    QString q = QStringLiteral("$'");
    for (const QChar c : a) {
        const ushort u = c.unicode();
        if (u == '\n')
            q += QStringLiteral("\\n");
        else if (u == '\t')
            q += QStringLiteral("\\t");
        else if (u == '\\' || u == '\'')
            q += QLatin1Char('\\') + c;
        else if (u < 0x20 || u == 0x7F)
            q += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            q += c;
    }
    return q + QLatin1Char('\'');
}

QByteArray record_header(const QDateTime& when_utc, const QStringList& arguments)
{
    QStringList quoted;
    for (const QString& a : arguments)
        quoted << shell_quoted(a);
    QByteArray h;
    h += "# keyline-bench key script, recorded " + when_utc.toString(Qt::ISODate).toUtf8() + "\n";
    h += "# command line: " + quoted.join(QLatin1Char(' ')).toUtf8() + "\n";
    return h;
}

qint64 record_chunk_ms(qint64 left)
{
    if (left <= MIN_SCRIPT_MS)
        return MIN_SCRIPT_MS;
    if (left <= MAX_SCRIPT_MS)
        return left;
    // Leave a remainder a script may hold.
    return left - MAX_SCRIPT_MS < MIN_SCRIPT_MS ? left - MIN_SCRIPT_MS : MAX_SCRIPT_MS;
}

int format_record_line(char* buf, int size, bool down, qint64 ms)
{
    const int n = std::snprintf(buf, size_t(size), "%s %lld\n", down ? "down" : "up", static_cast<long long>(ms));
    return n < size ? n : size - 1;
}

bool open_edge_recorder(EdgeRecorder& r, const QString& path, const QByteArray& header, QString* error)
{
    r = EdgeRecorder{};
    r.name = path;
    const int fd = create_new_file(path);
    if (fd < 0) {
        *error = errno == EEXIST ? QStringLiteral("exists already; a recording never overwrites a file")
                                 : QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // Before the run starts: written here, so a file that cannot take even
    // this is known at once.
    if (!write_all(fd, header.constData(), size_t(header.size()))) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        close_file(fd);
        // An empty file left behind would only refuse the next try as "exists already".
        remove_file(path);
        return false;
    }
    QueuedFileRhythm rhythm;
    rhythm.wake_each_put = true;  // each line in the file at once: a killed run keeps them
    r.out = start_queued_file(fd, RECORD_QUEUE_BYTES, {}, rhythm);
    return true;
}

namespace {

void say_stop(EdgeRecorder& r, const QString& why)
{
    r.failed = true;
    if (!r.err)
        return;
    *r.err << "keyline-bench: --record " << r.name << ": " << why << "; the run goes on, recording no more edges\n";
    r.err->flush();
}

void say_write_failure(EdgeRecorder& r, int error)
{
    say_stop(r, QStringLiteral("write failed (%1)").arg(QString::fromLocal8Bit(std::strerror(error))));
}

// A level that lasted `ms`, in lines a script may hold, each queued whole or
// not at all: a recording cut short stays a valid script. False once the
// recording has stopped (said once; nothing more is written).
bool write_level(EdgeRecorder& r, bool down, qint64 ms)
{
    if (const int error = queued_file_error(*r.out)) {
        say_write_failure(r, error);
        return false;
    }
    char line[32];
    qint64 left = ms;
    do {
        const qint64 chunk = record_chunk_ms(left);
        const int n = format_record_line(line, int(sizeof line), down, chunk);
        if (!queued_file_put(*r.out, line, size_t(n))) {
            say_stop(r, QStringLiteral("the disk does not keep up"));
            return false;
        }
        left -= chunk;
    } while (left > 0);
    return true;
}

bool recording(const EdgeRecorder& r)
{
    return r.out && !r.failed;
}

}  // namespace

void record_edge(EdgeRecorder& r, bool down, qint64 now)
{
    if (!recording(r))
        return;
    if (r.last_edge_ms >= 0 && !write_level(r, r.level_down, now - r.last_edge_ms))
        return;
    r.level_down = down;
    r.last_edge_ms = now;
}

void note_dit_estimate(EdgeRecorder& r, double dit_ms)
{
    if (dit_ms > 0.0)
        r.dit_ms = dit_ms;
}

void finish_edge_recorder(EdgeRecorder& r, qint64 now)
{
    if (!recording(r) || r.last_edge_ms < 0)
        return;
    const qint64 since = now - r.last_edge_ms;
    const qint64 word_gap = static_cast<qint64>(std::ceil(7.0 * r.dit_ms));
    if (r.level_down) {
        // The run ended with the KEY down (q or a signal): the mark ends here.
        if (!write_level(r, true, since))
            return;
        write_level(r, false, std::max(word_gap, MIN_SCRIPT_MS));
    } else {
        write_level(r, false, std::max(since, word_gap));
    }
    r.last_edge_ms = -1;
}

void close_edge_recorder(EdgeRecorder& r)
{
    if (!r.out)
        return;
    const QueuedFileEnd end = finish_queued_file(r.out);
    r.out = nullptr;
    if (end.error != 0 && !r.failed)
        say_write_failure(r, end.error);
}

void edge_recorder_take(void* self, const BenchEvent& e)
{
    if (e.kind != BenchEventKind::KeyEdge)
        return;
    EdgeRecorder& recorder = *static_cast<EdgeRecorder*>(self);
    note_dit_estimate(recorder, e.dit_ms);
    record_edge(recorder, e.level, e.t_ns / 1000000);
}

BenchSink edge_recorder_sink(EdgeRecorder& recorder)
{
    return BenchSink{&recorder, edge_recorder_take};
}
