#pragma once
// Keying without a keyboard: a Morse text or a key script becomes one list of
// timed KEY levels, which the poll tick samples in place of the grave key.

#include <vector>

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The KEY goes to `down` at `at` units from the start of a round.
struct KeyEdge {
    qint64 at = 0;
    bool down = false;
};

// One round of keying. Times are in units of ms_num / ms_den milliseconds, so
// a Morse text keeps its exact dit (1200 / WPM ms) and only each edge's own
// time is rounded to the millisecond: no rounding is carried along.
struct KeySchedule {
    std::vector<KeyEdge> edges;  // levels alternate; the KEY is up before the first
    qint64 round_units = 0;      // from the start of one round to the start of the next
    qint64 end_units = 0;        // where the source is over, within its last round
    qint64 ms_num = 1;
    qint64 ms_den = 1;
    int last_line = 0;           // a script's line of its last level; 0 for a text
};

// Milliseconds of a time in units, to the nearest ms (halves up).
qint64 schedule_ms(const KeySchedule& schedule, qint64 units);

constexpr int MIN_WPM = 5;
constexpr int MAX_WPM = 60;

// TEXT in Morse, PARIS timing in dits: dah 3, 1 between the elements of a
// letter, 3 between letters, 7 between words (any run of blanks). A prosign
// in angle brackets ("<AR>", "<SOS>") is keyed as one character. The source
// is over at the end of the last mark; rounds are 7 dits apart. On a
// character it cannot send, or a text with nothing to send, returns false
// and the reason (characters counted from 1).
bool morse_schedule(const QString& text, int wpm, KeySchedule* out, QString* reason);

// The ITU code of a character ('.' dit, '-' dah; ';' and '!' are not ITU
// but common), or nullptr.
const char* morse_code(uint character);

constexpr qint64 MIN_SCRIPT_MS = 10;      // shorter than two polls cannot be seen reliably
constexpr qint64 MAX_SCRIPT_MS = 600000;  // 10 minutes

// A key script: lines "down MS" and "up MS" (a level and how long it lasts),
// blank lines and # comments; a UTF-8 byte order mark before the first line
// is skipped. The source is over when its last line has run
// its course, the KEY up; rounds follow one another as written. On a fault
// returns false with "NAME:LINE: reason".
bool parse_key_script(const QByteArray& content, const QString& name, KeySchedule* out,
                      QString* error);
