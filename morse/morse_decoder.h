#pragma once
// --decode: reads the KEY's marks and gaps back as Morse text, whatever the
// source. Its own timing, apart from the KEYing monitor's: the speed is fitted
// to a window of recent marks AND gaps, so a text that opens with a dah reads
// right, and the window follows a speed that drifts. Each element is decided
// a few elements late, once the elements after it are known too.
//
// Pure and fixed in size: feeding an edge never allocates.

#include <QString>
#include <QtGlobal>

constexpr int DECODER_HISTORY = 16;    // decided spans kept for the fit
constexpr int DECODER_LOOKAHEAD = 10;  // spans waiting for their decision
constexpr int DECODER_CODE_MAX = 12;   // elements of one character; longer is unreadable
constexpr int DECODER_TEXT_BYTES = 1024;
// A mark this long is no Morse element (a dah at 5 WPM is 720 ms): it is
// unreadable and kept out of the speed fit.
constexpr double DECODER_LONGEST_MARK_MS = 1500.0;

struct DecoderSpan {
    double ms = 0.0;
    double ln = 0.0;  // log of ms, for the fit
    bool mark = false;
};

struct MorseDecoder {
    DecoderSpan history[DECODER_HISTORY];  // ring of decided spans
    int history_count = 0;
    int history_next = 0;
    DecoderSpan pending[DECODER_LOOKAHEAD + 1];
    int pending_count = 0;
    bool down = false;
    qint64 last_edge_ms = -1;  // -1: idle, the next mark starts afresh
    double dit_ms = 0.0;       // the fitted dit; 0 before any fit
    double unit_ms = 0.0;      // the spacing unit of letter and word gaps (> dit: Farnsworth)
    char code[DECODER_CODE_MAX + 1] = {};
    int code_len = 0;
    bool code_bad = false;     // too long, or a mark too long to be an element
    char text[DECODER_TEXT_BYTES] = {};  // UTF-8
    int text_len = 0;
    bool text_cut = false;     // older text was let go to make room
};

// The character of a code ('.' and '-'), as the decoder writes it: the
// keyer's characters, "É", the prosigns "<AR>", "<BT>", "<KN>", "<SK>",
// "<AS>", "<SOS>" (these read before "+", "=", "(" that share their code);
// "*" for any other code.
const char* decoded_character(const char* code);

// The KEY went down (true) or up at now_ms.
void decoder_edge(MorseDecoder& d, bool down, qint64 now_ms);

// The keying paused for good (a release, quit): every span waiting is
// decided and the character in hand is written; the next mark starts a new
// word. Only the speed estimate is kept, as a hint for what follows.
void decoder_flush(MorseDecoder& d);

// Text decoded and not yet taken.
bool decoder_has_text(const MorseDecoder& d);

// Flushes, then "DECODED  CQ TEST  (25 WPM)" (the speed of the fitted dit;
// "..." before text that had to be let go), and starts a new text.
QString take_decoded_line(MorseDecoder& d);
