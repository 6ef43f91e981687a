#include "morse/key_schedule.h"

#include <QChar>
#include <QList>

namespace {

constexpr qint64 DAH_DITS = 3;
constexpr qint64 ELEMENT_GAP_DITS = 1;
constexpr qint64 LETTER_GAP_DITS = 3;
constexpr qint64 WORD_GAP_DITS = 7;
constexpr int SHOWN_WORD_CHARS = 24;

struct MorseEntry {
    char character;
    const char* code;
};

// ITU codes; letters are looked up in upper case.
const MorseEntry MORSE_TABLE[] = {
    {'A', ".-"},     {'B', "-..."},   {'C', "-.-."},   {'D', "-.."},    {'E', "."},
    {'F', "..-."},   {'G', "--."},    {'H', "...."},   {'I', ".."},     {'J', ".---"},
    {'K', "-.-"},    {'L', ".-.."},   {'M', "--"},     {'N', "-."},     {'O', "---"},
    {'P', ".--."},   {'Q', "--.-"},   {'R', ".-."},    {'S', "..."},    {'T', "-"},
    {'U', "..-"},    {'V', "...-"},   {'W', ".--"},    {'X', "-..-"},   {'Y', "-.--"},
    {'Z', "--.."},   {'0', "-----"},  {'1', ".----"},  {'2', "..---"},  {'3', "...--"},
    {'4', "....-"},  {'5', "....."},  {'6', "-...."},  {'7', "--..."},  {'8', "---.."},
    {'9', "----."},  {'.', ".-.-.-"}, {',', "--..--"}, {'?', "..--.."}, {'/', "-..-."},
    {'=', "-...-"},  {'+', ".-.-."},  {'-', "-....-"}, {'\'', ".----."}, {'"', ".-..-."},
    {'(', "-.--."},  {')', "-.--.-"}, {':', "---..."}, {';', "-.-.-."}, {'@', ".--.-."},
    {'!', "-.-.--"},
};

bool is_blank(uint c)
{
    return QChar::isSpace(c);
}

QString shown_character(uint c)
{
    if (QChar::isPrint(c))
        return QStringLiteral("\"%1\"").arg(QString::fromUcs4(&c, 1));
    return QStringLiteral("U+%1").arg(QString::number(c, 16).toUpper().rightJustified(4, QLatin1Char('0')));
}

// Edges of the up/down levels given as (level, length) runs, merging runs of
// the same level; the KEY is up before the first and after the last.
struct EdgeBuilder {
    KeySchedule* out;
    qint64 t = 0;
    bool level = false;
    void run(bool down, qint64 units)
    {
        if (down != level) {
            out->edges.push_back(KeyEdge{t, down});
            level = down;
        }
        t += units;
    }
};

QString shown_word(const QByteArray& word)
{
    // fromUtf8 drops a leading byte order mark, which would hide it.
    const bool bom = word.startsWith("\xEF\xBB\xBF");
    QString text = bom ? QStringLiteral("\\uFEFF") + QString::fromUtf8(word.mid(3)) : QString::fromUtf8(word);
    if (text.size() > SHOWN_WORD_CHARS)
        text = text.left(SHOWN_WORD_CHARS) + QStringLiteral("...");
    return QStringLiteral("\"%1\"").arg(text);
}

bool all_digits(const QByteArray& text)
{
    if (text.isEmpty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// The duration of one script line, or an empty reason when it is sound.
QString duration_fault(const QByteArray& token, qint64* ms)
{
    if (token.startsWith('-') && all_digits(token.mid(1)))
        return QStringLiteral("negative duration %1").arg(shown_word(token));
    if (!all_digits(token))
        return QStringLiteral("duration %1 is not a whole number of ms").arg(shown_word(token));
    // Nine digits are over ten minutes already; no overflow past them.
    if (token.size() > 9)
        return QStringLiteral("duration %1 is too long (over 10 minutes)").arg(shown_word(token));
    const qint64 value = token.toLongLong();
    if (value > MAX_SCRIPT_MS)
        return QStringLiteral("duration %1 ms is over 10 minutes").arg(QString::fromLatin1(token.left(12)));
    if (value < MIN_SCRIPT_MS)
        return QStringLiteral("duration %1 ms is under %2 ms (the 5 ms poll cannot see it reliably)")
            .arg(value)
            .arg(MIN_SCRIPT_MS);
    *ms = value;
    return QString();
}

QList<QByteArray> words_of(QByteArray line)
{
    const int comment = line.indexOf('#');
    if (comment >= 0)
        line.truncate(comment);
    // simplified() folds spaces, tabs, CR, VT and FF.
    return line.simplified().split(' ');
}

// A prosign "<AR>" from the '<' at *at: the codes of its letters run
// together, keyed as one character. *at moves to its '>'.
bool prosign_code(const QVector<uint>& characters, int* at, QByteArray* code, QString* reason)
{
    const int open = *at;
    int i = open + 1;
    for (; i < characters.size() && characters[i] != '>'; ++i) {
        const uint c = characters[i];
        const char* letter = c == '<' || is_blank(c) ? nullptr : morse_code(c);
        if (!letter) {
            *reason = QStringLiteral("cannot send %1 inside the prosign opened at character %2 (character %3)")
                          .arg(shown_character(c))
                          .arg(open + 1)
                          .arg(i + 1);
            return false;
        }
        code->append(letter);
    }
    if (i == characters.size()) {
        *reason = QStringLiteral("unclosed \"<\" (character %1): a prosign is written <AR>").arg(open + 1);
        return false;
    }
    if (code->isEmpty()) {
        *reason = QStringLiteral("empty prosign \"<>\" (character %1)").arg(open + 1);
        return false;
    }
    *at = i;
    return true;
}

}  // namespace

qint64 schedule_ms(const KeySchedule& s, qint64 units)
{
    return (2 * units * s.ms_num + s.ms_den) / (2 * s.ms_den);
}

const char* morse_code(uint character)
{
    if (character == 0xC9 || character == 0xE9)  // É, é: ITU's accented E
        return "..-..";
    const uint upper = (character >= 'a' && character <= 'z') ? character - 'a' + 'A' : character;
    for (const MorseEntry& e : MORSE_TABLE)
        if (uint(uchar(e.character)) == upper)
            return e.code;
    return nullptr;
}

bool morse_schedule(const QString& text, int wpm, KeySchedule* out, QString* reason)
{
    *out = KeySchedule{};
    out->ms_num = 1200;  // dit = 1200 / WPM ms
    out->ms_den = wpm;
    if (text.isEmpty()) {
        *reason = QStringLiteral("the text is empty");
        return false;
    }
    EdgeBuilder b{out};
    qint64 pending_gap = 0;  // dits of up level before the next mark
    bool word_break = false;
    const QVector<uint> characters = text.toUcs4();
    for (int i = 0; i < characters.size(); ++i) {
        const uint c = characters[i];
        if (is_blank(c)) {
            word_break = true;
            continue;
        }
        QByteArray prosign;
        const char* code = morse_code(c);
        if (c == '<') {
            if (!prosign_code(characters, &i, &prosign, reason))
                return false;
            code = prosign.constData();
        } else if (!code) {
            *reason = QStringLiteral("cannot send %1 (character %2)").arg(shown_character(c)).arg(i + 1);
            return false;
        }
        if (!out->edges.empty())
            pending_gap = word_break ? WORD_GAP_DITS : LETTER_GAP_DITS;
        word_break = false;
        for (const char* e = code; *e; ++e) {
            if (e != code)
                pending_gap = ELEMENT_GAP_DITS;
            b.run(false, pending_gap);
            b.run(true, *e == '-' ? DAH_DITS : 1);
            pending_gap = 0;
        }
    }
    if (out->edges.empty()) {
        *reason = QStringLiteral("the text holds only blanks: nothing to send");
        return false;
    }
    b.run(false, 0);  // the last mark's end
    out->end_units = b.t;
    out->round_units = b.t + WORD_GAP_DITS;
    return true;
}

bool parse_key_script(const QByteArray& content, const QString& name, KeySchedule* out,
                      QString* error)
{
    *out = KeySchedule{};
    const auto fault = [&](int line, const QString& reason) {
        *error = QStringLiteral("%1:%2: %3").arg(name).arg(line).arg(reason);
        return false;
    };
    const int nul = content.indexOf('\0');
    if (nul >= 0)
        return fault(content.left(nul).count('\n') + 1,
                     QStringLiteral("binary file (a NUL byte), not a key script"));

    EdgeBuilder b{out};
    bool any_line = false;
    // Editors on some systems open a UTF-8 file with a byte order mark.
    const bool bom = content.startsWith("\xEF\xBB\xBF");
    const QList<QByteArray> lines = (bom ? content.mid(3) : content).split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const int line = i + 1;
        const QList<QByteArray> words = words_of(lines[i]);
        if (words.size() == 1 && words[0].isEmpty())
            continue;
        const QByteArray& word = words[0];
        if (word != "down" && word != "up")
            return fault(line, QStringLiteral("unknown word %1 (a line is \"down MS\" or \"up MS\")")
                                   .arg(shown_word(word)));
        if (words.size() < 2)
            return fault(line, QStringLiteral("missing duration after \"%1\"").arg(QString::fromLatin1(word)));
        qint64 ms = 0;
        const QString bad = duration_fault(words[1], &ms);
        if (!bad.isEmpty())
            return fault(line, bad);
        if (words.size() > 2)
            return fault(line, QStringLiteral("unexpected %1 after the duration").arg(shown_word(words[2])));
        b.run(word == "down", ms);
        any_line = true;
        out->last_line = line;
    }
    if (!any_line) {
        *error = QStringLiteral("%1: no \"down\" or \"up\" line").arg(name);
        return false;
    }
    const qint64 end = b.t;
    b.run(false, 0);  // the KEY is up after the script
    out->end_units = end;
    out->round_units = end;
    return true;
}
