#include "report/vcd_format.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace {

constexpr int ID_FIRST = 33;  // '!'
constexpr int ID_CHARS = 94;  // '!' .. '~'

void append(VcdChunk& out, const char* text, int size)
{
    if (out.size + size > VCD_CHUNK_BYTES)
        return;  // cannot happen within the wire limit
    std::memcpy(out.bytes + out.size, text, size_t(size));
    out.size += size;
    for (int i = 0; i < size; ++i)
        out.lines += text[i] == '\n';
}

void append_stamp(VcdChunk& out, qint64 t_us)
{
    char line[24];
    const int n = std::snprintf(line, sizeof line, "#%lld\n", static_cast<long long>(t_us));
    append(out, line, n);
}

void append_change(VcdChunk& out, const VcdTrack& track, int wire, bool value)
{
    char line[6] = {};
    const int id_size = int(std::strlen(track.id[wire]));
    line[0] = value ? '1' : '0';
    std::memcpy(line + 1, track.id[wire], size_t(id_size));
    line[1 + id_size] = '\n';
    append(out, line, id_size + 2);
}

// Moves the clock to t_us (never back), stamping when it moves.
void advance(VcdTrack& track, qint64 t_us, VcdChunk& out)
{
    if (t_us > track.last_us) {
        track.last_us = t_us;
        append_stamp(out, t_us);
    }
}

bool valid_wire(const VcdTrack& track, int wire)
{
    return wire >= 0 && wire < track.wires;
}

bool plain_shell_word(const QString& a)
{
    if (a.isEmpty())
        return false;
    for (const QChar c : a) {
        const ushort u = c.unicode();
        const bool safe = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
            || QStringLiteral("_@%+=:,./-").contains(c);
        if (!safe)
            return false;
    }
    return true;
}

}  // namespace

void vcd_id(int index, char out[3])
{
    out[0] = char(ID_FIRST + index % ID_CHARS);
    out[1] = index < ID_CHARS ? '\0' : char(ID_FIRST + index / ID_CHARS - 1);
    out[2] = '\0';
}

void init_vcd_track(VcdTrack& track, int wires)
{
    track = VcdTrack{};
    track.wires = qBound(0, wires, VCD_MAX_WIRES);
    for (int i = 0; i < track.wires; ++i) {
        vcd_id(i, track.id[i]);
        track.fall_us[i] = -1;
    }
}

void vcd_level(VcdTrack& track, qint64 t_us, int wire, bool value, VcdChunk& out)
{
    if (!valid_wire(track, wire) || track.value[wire] == value)
        return;
    advance(track, t_us, out);
    track.value[wire] = value;
    append_change(out, track, wire, value);
}

void vcd_mark(VcdTrack& track, qint64 t_us, int wire, VcdChunk& out)
{
    if (!valid_wire(track, wire))
        return;
    const qint64 start = qMax(qMax(t_us, track.last_us), track.fall_us[wire] + 1);
    if (start >= t_us + VCD_MARK_SPREAD_US)
        return;
    advance(track, start, out);
    append_change(out, track, wire, true);
    advance(track, track.last_us + 1, out);
    append_change(out, track, wire, false);
    track.fall_us[wire] = track.last_us;
    track.value[wire] = false;
}

void vcd_all_levels(const VcdTrack& track, VcdChunk& out)
{
    append_stamp(out, track.last_us);
    for (int i = 0; i < track.wires; ++i)
        append_change(out, track, i, track.value[i]);
}

void vcd_end(VcdTrack& track, qint64 t_us, VcdChunk& out)
{
    advance(track, t_us, out);
}

QByteArray vcd_comment_text(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray safe;
    safe.reserve(utf8.size());
    for (const char ch : utf8) {
        const unsigned char b = static_cast<unsigned char>(ch);
        if (b >= 0x20 && b < 0x7F && b != '$' && b != '\\') {
            safe += ch;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            safe += hex;
        }
    }
    return safe;
}

QByteArray vcd_command_line(const QStringList& arguments)
{
    QByteArray line;
    for (const QString& a : arguments) {
        if (!line.isEmpty())
            line += ' ';
        if (plain_shell_word(a)) {
            line += a.toLatin1();
        } else {
            QString q = a;
            q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
            line += vcd_comment_text(QLatin1Char('\'') + q + QLatin1Char('\''));
        }
    }
    return line;
}

QByteArray vcd_note_line(const QString& text)
{
    QByteArray line = vcd_comment_text(text);
    if (line.size() > VCD_NOTE_WIDTH) {
        line.truncate(VCD_NOTE_WIDTH - 3);
        // An escape cut in half would read as something else.
        const int slash = line.lastIndexOf('\\');
        if (slash >= 0 && slash > line.size() - 4)
            line.truncate(slash);
        line += "...";
    }
    return line.leftJustified(VCD_NOTE_WIDTH, ' ');
}

VcdHeaderFields run_header_fields(const QDateTime& start, const QStringList& arguments,
                                  const QString& scope, const QStringList& wire_names)
{
    VcdHeaderFields fields;
    fields.program = QCoreApplication::applicationName() + QLatin1Char(' ')
        + QCoreApplication::applicationVersion();
    fields.start = start;
    fields.arguments = arguments;
    fields.scope = scope;
    fields.wire_names = wire_names;
    return fields;
}

VcdHeader vcd_header(const VcdHeaderFields& fields)
{
    VcdHeader h;
    QByteArray& b = h.bytes;
    b += "$date\n  " + vcd_comment_text(fields.start.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz t")))
        + "\n$end\n";
    b += "$version\n  " + vcd_comment_text(fields.program) + "\n$end\n";
    b += "$comment\n  Started " + vcd_comment_text(fields.start.toOffsetFromUtc(fields.start.offsetFromUtc()).toString(Qt::ISODateWithMs))
        + "; times are microseconds on the monotonic clock from that start.\n  Command line: "
        + vcd_command_line(fields.arguments) + "\n$end\n";
    if (fields.notes > 0) {
        b += "$comment\n  " + vcd_comment_text(fields.note_title) + "\n";
        for (int i = 0; i < fields.notes; ++i) {
            b += "  ";
            h.note_offsets.push_back(b.size());
            b += QByteArray(VCD_NOTE_WIDTH, ' ') + "\n";
        }
        b += "$end\n";
    }
    b += "$timescale 1 us $end\n";
    b += "$scope module " + vcd_comment_text(fields.scope) + " $end\n";
    const int wires = qMin(fields.wire_names.size(), VCD_MAX_WIRES);
    char id[3];
    for (int i = 0; i < wires; ++i) {
        vcd_id(i, id);
        b += "$var wire 1 " + QByteArray(id) + ' ' + vcd_comment_text(fields.wire_names[i]) + " $end\n";
    }
    b += "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
    for (int i = 0; i < wires; ++i) {
        vcd_id(i, id);
        b += '0' + QByteArray(id) + '\n';
    }
    b += "$end\n";
    return h;
}
