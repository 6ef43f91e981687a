#include "common/text_escape.h"

namespace {

const char HEX[] = "0123456789abcdef";

// By property, so that a character Unicode adds to these classes later is
// escaped without a change here: controls, format characters (invisible,
// joining, direction-changing, tags), line and paragraph separators, lone
// surrogates, private-use and unassigned code points would all let a name
// read differently from its bytes, or not read at all.
bool needs_escape(uint code)
{
    if (code == '\\')
        return true;
    if (code >= 0x20 && code < 0x7f)
        return false;  // printable ASCII: the usual case, no table look-up
    switch (QChar::category(code)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

void append_u(QString& out, uint code)
{
    out += QLatin1String("\\u");
    for (int shift = 12; shift >= 0; shift -= 4)
        out += QLatin1Char(HEX[(code >> shift) & 0xf]);
}

void append_code(QString& out, uint code)
{
    if (code == '\\') {
        out += QLatin1String("\\\\");
    } else if (!needs_escape(code)) {
        if (code > 0xffff)
            out += QString::fromUcs4(&code, 1);
        else
            out += QChar(static_cast<ushort>(code));
    } else if (code > 0xffff) {
        append_u(out, QChar::highSurrogate(code));  // as JSON writes it
        append_u(out, QChar::lowSurrogate(code));
    } else {
        append_u(out, code);
    }
}

}  // namespace

int utf8_sequence(const unsigned char* p, int left, uint& code)
{
    const unsigned char b = p[0];
    int length;
    uint min;
    if (b < 0x80) {
        code = b;
        return 1;
    } else if (b >= 0xc2 && b <= 0xdf) {
        length = 2;
        code = b & 0x1f;
        min = 0x80;
    } else if (b >= 0xe0 && b <= 0xef) {
        length = 3;
        code = b & 0x0f;
        min = 0x800;
    } else if (b >= 0xf0 && b <= 0xf4) {
        length = 4;
        code = b & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3f);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

QString escape_text(const QString& text)
{
    int first = 0;
    while (first < text.size() && !text.at(first).isSurrogate() && !needs_escape(text.at(first).unicode()))
        ++first;
    if (first == text.size())
        return text;  // the usual case: shared, nothing copied

    QString out = text.left(first);
    for (int i = first; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            append_code(out, QChar::surrogateToUcs4(c, text.at(++i)));  // judged as one code point
        else
            append_code(out, c.unicode());
    }
    return out;
}

QString escape_bytes(const char* data, int size)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    QString out;
    out.reserve(size);
    int i = 0;
    while (i < size) {
        uint code = 0;
        const int length = utf8_sequence(p + i, size - i, code);
        if (length == 0) {
            out += QLatin1String("\\x");
            out += QLatin1Char(HEX[p[i] >> 4]);
            out += QLatin1Char(HEX[p[i] & 0xf]);
            ++i;
        } else {
            append_code(out, code);
            i += length;
        }
    }
    return out;
}
