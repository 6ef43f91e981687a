#pragma once
// Texts that come from the network are shown escaped, so that a datagram can
// never move the cursor, retitle or clear the terminal, nor break a JSON line:
// control characters (U+0000..U+001F, U+007F, U+0080..U+009F) become \u00XX,
// a lone surrogate, the invisible, line-separating and direction-changing
// characters (U+00AD, U+200B..U+200F, U+2028..U+202E, U+2066..U+2069, U+FEFF)
// \uXXXX, a backslash \\ (so an escape is never ambiguous),
// and, from raw bytes, a byte that is not valid UTF-8 \xNN.

#include <QString>

QString escape_text(const QString& text);

// Raw bytes as UTF-8, with the escapes above.
QString escape_bytes(const char* data, int size);

// Length of the valid UTF-8 sequence at p (1..4) with its code point, or 0
// when there is none (overlong forms, surrogates and code points above
// U+10FFFF are not valid).
int utf8_sequence(const unsigned char* p, int left, uint& code);
