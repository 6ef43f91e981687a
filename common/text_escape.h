#pragma once
// Texts that come from the network are shown escaped, so that a datagram can
// never move the cursor, retitle or clear the terminal, break a JSON line, nor
// make a name read differently from its bytes. What is escaped is chosen by
// Unicode property (QChar::category), not by a list: every control (Cc),
// every format character (Cf: invisible joiners, direction marks and
// isolates, tags, interlinear annotations, U+FEFF), the line and paragraph
// separators (Zl, Zp), lone surrogates (Cs), private-use (Co) and unassigned
// (Cn) code points become \uXXXX (a code point above U+FFFF as its UTF-16
// pair, \udbxx\udcxx, as JSON writes it), a backslash \\ (so an escape is
// never ambiguous), and, from raw bytes, a byte that is not valid UTF-8 \xNN.

#include <QString>

QString escape_text(const QString& text);

// Raw bytes as UTF-8, with the escapes above.
QString escape_bytes(const char* data, int size);

// Length of the valid UTF-8 sequence at p (1..4) with its code point, or 0
// when there is none (overlong forms, surrogates and code points above
// U+10FFFF are not valid).
int utf8_sequence(const unsigned char* p, int left, uint& code);
