#pragma once
// --decode: reads the KEY's keying back as Morse text, whatever the source.
// It reads the keying, not each hold: the silence between two holds is a gap
// like any other, and its timing estimates run on across holds.
//
// Marks and gaps are timed apart, each by clusters of their own: marks by a
// dit and a dah, gaps by an element, a letter and a word gap. So any weight
// (marks long, gaps short) and Farnsworth spacing (letter and word gaps long)
// read as keyed. Each fit weighs the spans around the one it decides, the
// ones after it too (it decides a few elements late), so a speed step is
// followed within a character.
//
// Pure and fixed in size: fed edges with their times; no clock, no I/O, and
// feeding an edge never allocates.

#include <QString>
#include <QtGlobal>

constexpr int DECODER_HISTORY = 24;    // decided spans kept for the fits
constexpr int DECODER_LOOKAHEAD = 20;  // spans waiting for their decision
// At first, more wait: the keying's first few characters, a word gap among
// them, show what its letter and word gaps are (Farnsworth) before any is
// decided.
constexpr int DECODER_FIRST_LOOKAHEAD = 48;
constexpr int DECODER_CODE_MAX = 12;   // elements of one character; longer is unreadable
constexpr int DECODER_TEXT_BYTES = 1024;
// A mark this long is no Morse element (a dah at 5 WPM is 720 ms): it is
// unreadable and kept out of the fits.
constexpr double DECODER_LONGEST_MARK_MS = 1500.0;
// A silence this long is a pause between transmissions: a word gap, kept out
// of the fits.
constexpr double DECODER_LONGEST_GAP_MS = 5000.0;

struct DecoderSpan {
    double ms = 0.0;
    double ln = 0.0;  // log of ms, for the fits
    bool mark = false;
};

// A speed step found among the spans waiting, and the new speed's estimates:
// kept until the spans reach it, so one odd span (keyed late) that later
// hides the step from the fits does not undo it.
struct DecoderStep {
    int at = -1;  // index among the spans waiting of the first at the new speed; -1 none
    double ln_dit = 0.0, ln_dah_ratio = 0.0, ln_element = 0.0, ln_letter = 0.0;
    int letters = 0, words = 0;
};

struct MorseDecoder {
    DecoderSpan history[DECODER_HISTORY];  // ring of decided spans
    int history_count = 0;
    int history_next = 0;
    DecoderSpan pending[DECODER_FIRST_LOOKAHEAD + 1];
    int pending_count = 0;
    int decided = 0;  // spans decided, up to DECODER_FIRST_LOOKAHEAD
    bool down = false;
    qint64 last_edge_ms = -1;  // -1: nothing keyed yet
    // The estimates, carried from fit to fit and across holds (logs of ms).
    bool marks_known = false;
    double ln_dit = 0.0;
    double ln_dah_ratio = 0.0;  // dah / dit
    bool gaps_known = false;
    double ln_element = 0.0;
    double ln_letter = 0.0;
    double ln_weight = 0.0;  // element gap / dit, as the gaps were last fitted
    bool spacing_known = false;  // letter and word gaps both seen
    DecoderStep step;
    // Until then, the gaps already read as letter gaps (the longest) and as
    // word gaps (the shortest): a fit must read them so again, so two gaps
    // of one length read alike.
    bool letter_read = false;
    double ln_longest_letter = 0.0;
    bool word_read = false;
    double ln_shortest_word = 0.0;
    char code[DECODER_CODE_MAX + 1] = {};
    int code_len = 0;
    bool code_bad = false;       // too long, or a mark too long to be an element
    bool word_ended = true;      // the last gap decided, or the silence now, closed the word
    bool char_ended = true;      // ... closed the character
    bool line_word_open = false;  // a line was taken with its last word still open
    char text[DECODER_TEXT_BYTES] = {};  // UTF-8
    int text_len = 0;
    bool text_cut = false;  // older text was let go to make room
};

// The character of a code ('.' and '-'), as the decoder writes it: the
// keyer's characters, "É", the prosigns "<AR>", "<BT>", "<KN>", "<SK>",
// "<AS>", "<SOS>" (these read before "+", "=", "(" that share their code);
// "*" for any other code.
const char* decoded_character(const char* code);

// The KEY went down (true) or up at now_ms.
void decoder_edge(MorseDecoder& d, bool down, qint64 now_ms);

// A RELEASE at now_ms: "DECODED  CQ TEST  (25 WPM)" with every character
// complete by now (the silence since the last mark at least a letter gap),
// or an empty text when none is. A character still open waits for its gap
// and goes into the next line. A line that goes on with a word the previous
// line left open starts with "…". The speed is that of the element period
// (a dit and the gap after it), which weight does not change.
QString decoder_release_line(MorseDecoder& d, qint64 now_ms);

// The keying is over (quit): the line with whatever is open, or an empty
// text when nothing is.
QString take_decoded_line(MorseDecoder& d);

// Some of the keying was lost before it reached the decoder: what is open
// reads "*", and what follows is keyed afresh.
void decoder_lost_keying(MorseDecoder& d);

// Something keyed is not yet in a line.
bool decoder_has_text(const MorseDecoder& d);
