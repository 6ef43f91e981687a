#include "morse/morse_decoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "morse/key_schedule.h"

namespace {

const double LN2 = std::log(2.0);
const double LN3 = std::log(3.0);
const double LN5 = std::log(5.0);
// A word gap is 7 units to a letter gap's 3, at any Farnsworth stretch.
const double LN_WORD_LETTER = std::log(7.0 / 3.0);
// Class boundaries sit at sqrt(1 - 0.3^2) of the geometric mean of their two
// classes: there a ±30 % fist leaves the same margin on either side.
const double LN_SKEW = 0.5 * std::log(1.0 - 0.3 * 0.3);
const double LN_MIN_MS = std::log(8.0);     // a dit at 150 WPM
const double LN_MAX_MS = std::log(4000.0);  // beyond a word gap at 2 WPM
// A dah is 1.9..4.8 dits long: weight 30 keys 2.6 / 0.6, weight 70 3.4 / 1.4.
const double LN_MIN_RATIO = std::log(1.9);
const double LN_MAX_RATIO = std::log(4.8);
constexpr double RATIO_STEP = 0.03;
// A letter gap is at least twice an element gap: weight 30 keys 2.6 / 1.4,
// which still reads; a closer split would part a ±30 % fist's element gaps
// into two clusters.
const double LN_MIN_STRETCH = std::log(2.0);

// One span's fit error is capped: a pause or a stray span weighs no more
// than a span a factor two off.
constexpr double ERROR_CAP = 0.48;
// The carried estimate settles a window that fits two scales equally well
// (all dits or all dahs) and is overruled by a few spans at a new speed...
constexpr double PRIOR_WEIGHT = 0.15;
// ... and however far the new speed is, it costs no more than half a span.
constexpr double PRIOR_CAP = 0.24;
// The carried shape (dah / dit, letter / element gap) yields to a window
// that shows another.
constexpr double SHAPE_PRIOR_WEIGHT = 0.3;
// The dah / dit ratio and the weight (element gap / dit) are the keyer's own:
// they change only on much evidence.
constexpr double RATIO_PRIOR_WEIGHT = 1.0;
// Before anything is carried, the standard shape only breaks ties.
constexpr double DEFAULT_SHAPE_WEIGHT = 0.05;
// Before anything is carried, marks all of one class read against the
// element gaps (a dit is about as long as the gap after it)...
constexpr double HINT_WEIGHT = 0.1;
// ... and otherwise equal fits read the longer dit ("..." rather than "TTT").
// Later the carried estimates break ties.
constexpr double LONGER_BIAS = 0.01;

// Cost of each word gap beyond the letter gaps of a first fit (and one).
constexpr double WORD_SHARE_COST = 0.1;
// Before the spacing is known, a fit that reads a gap otherwise than it was
// read already (and printed) costs as much as a span that fits nothing.
constexpr double REREAD_COST = ERROR_CAP;
// A gap this many element gaps long may be a word gap: 7/3 of a letter gap
// at least twice an element gap.
const double LN_MAY_BE_WORD = LN_MIN_STRETCH + LN_WORD_LETTER + LN_SKEW;
// A word gap up to 8 element gaps long is a standard one keyed slowly.
const double LN_STANDARD_WORD_MAX = std::log(8.0);

// A speed step: the latest spans waiting, fitted afresh, at a speed this
// far from the one known (a factor 1.35)...
const double LN_STEP = std::log(1.35);
constexpr int STEP_TAIL = 12;
constexpr int STEP_FEWEST = 4;
constexpr int STEP_SETTLED = 8;
// ... and the spans waiting explained this much better with a step among
// them (a few spans a good way off).
constexpr double STEP_MARGIN = 0.5;
// A step found by a wide margin is kept until the spans reach it, though a
// span keyed late may hide it from later fits.
constexpr double STEP_KEPT_MARGIN = 2.0;

// A span this many spans away from the one decided weighs half...
constexpr double NEAR_SPANS = 6.0;
// ... and one decided already counts as this many times farther: after a
// speed step the spans ahead, at the new speed, soon outweigh those behind.
constexpr int HISTORY_DISTANCE = 2;

struct ProsignCode {
    const char* code;
    const char* text;
};

const ProsignCode SPECIAL_CODES[] = {
    {".-.-.", "<AR>"}, {"-...-", "<BT>"}, {"-.--.", "<KN>"},     {"...-.-", "<SK>"},
    {".-...", "<AS>"}, {"..-..", "\xC3\x89"}, {"...---...", "<SOS>"},
};

// Starts a line that goes on with the previous line's open word.
const char CONTINUED[] = "\xE2\x80\xA6";

double sq(double x)
{
    return x * x;
}

double capped_prior(double weight, double delta)
{
    return std::min(PRIOR_CAP, weight * sq(delta));
}

bool in_fit(const DecoderSpan& s)
{
    return s.mark ? s.ms <= DECODER_LONGEST_MARK_MS : s.ms <= DECODER_LONGEST_GAP_MS;
}

// The spans of the window, marks or gaps, with their weights: the ones near
// the span decided weigh most, so a change of speed is followed quickly.
struct Window {
    double ln[DECODER_HISTORY + DECODER_FIRST_LOOKAHEAD + 1];
    double weight[DECODER_HISTORY + DECODER_FIRST_LOOKAHEAD + 1];
    int n = 0;
};

// The spans decided and those waiting up to `end` (a speed step there: the
// spans from it on are another speed's).
Window window_of(const MorseDecoder& d, bool marks, int end)
{
    Window w;
    const auto add = [&](const DecoderSpan& s, int distance) {
        if (s.mark != marks || !in_fit(s))
            return;
        w.ln[w.n] = s.ln;
        w.weight[w.n++] = NEAR_SPANS / (NEAR_SPANS + distance);
    };
    for (int i = 0; i < d.history_count; ++i)
        add(d.history[(d.history_next - d.history_count + i + DECODER_HISTORY) % DECODER_HISTORY],
            HISTORY_DISTANCE * (d.history_count - i));
    for (int i = 0; i < std::min(end, d.pending_count); ++i)
        add(d.pending[i], i);
    return w;
}

Window window_of(const MorseDecoder& d, bool marks)
{
    return window_of(d, marks, d.pending_count);
}

// The spans waiting from `from` on, all of one weight.
Window tail_of(const MorseDecoder& d, bool marks, int from)
{
    Window w;
    for (int i = from; i < d.pending_count; ++i) {
        const DecoderSpan& s = d.pending[i];
        if (s.mark != marks || !in_fit(s))
            continue;
        w.ln[w.n] = s.ln;
        w.weight[w.n++] = 1.0;
    }
    return w;
}

struct MarkFit {
    double ln_dit = 0.0;
    double ln_ratio = 0.0;
    bool valid = false;
};

// The dit and dah that explain the window's marks best.
MarkFit fit_marks(const MorseDecoder& d, const Window& w, bool hint, double ln_hint, bool carried = true)
{
    MarkFit best;
    double best_cost = 0.0;
    // The grid holds the standard ratio exactly.
    const int below = int((LN3 - LN_MIN_RATIO) / RATIO_STEP);
    for (double r = LN3 - below * RATIO_STEP; r <= LN_MAX_RATIO + 1e-9; r += RATIO_STEP) {
        const double shape = DEFAULT_SHAPE_WEIGHT * sq(r - LN3) +
            (d.marks_known ? RATIO_PRIOR_WEIGHT * sq(r - d.ln_dah_ratio) : 0.0);
        if (best.valid && shape >= best_cost)
            continue;
        const auto try_dit = [&](double ln_dit) {
            if (ln_dit < LN_MIN_MS || ln_dit > LN_MAX_MS)
                return;
            double cost = shape - (d.marks_known ? 0.0 : LONGER_BIAS * ln_dit);
            if (d.marks_known && carried)
                cost += capped_prior(PRIOR_WEIGHT, ln_dit - d.ln_dit);
            else if (hint)
                cost += capped_prior(HINT_WEIGHT, ln_dit - ln_hint);
            for (int i = 0; i < w.n && (!best.valid || cost < best_cost); ++i) {
                const double x = w.ln[i] - ln_dit;
                cost += w.weight[i] * std::min(ERROR_CAP, std::min(sq(x), sq(x - r)));
            }
            if (!best.valid || cost < best_cost) {
                best = MarkFit{ln_dit, r, true};
                best_cost = cost;
            }
        };
        for (int i = 0; i < w.n; ++i) {
            try_dit(w.ln[i]);
            try_dit(w.ln[i] - r);
        }
    }
    return best;
}

struct GapFit {
    double ln_element = 0.0;
    double ln_letter = 0.0;  // the word gap is 7/3 of it
    bool valid = false;
    int letters = 0, words = 0;  // gaps of the window read as each
};

double gap_error(double x, const GapFit& f)
{
    return std::min(ERROR_CAP, std::min({sq(x - f.ln_element), sq(x - f.ln_letter),
                                         sq(x - f.ln_letter - LN_WORD_LETTER)}));
}

// The element, letter and word gaps that explain the window's gaps best.
GapFit fit_gaps(const MorseDecoder& d, const Window& w, bool carried = true)
{
    GapFit best;
    double best_cost = 0.0;
    const double carried_stretch = d.ln_letter - d.ln_element;
    const auto try_element = [&](double e) {
        if (e < LN_MIN_MS || e > LN_MAX_MS)
            return;
        double base = 0.0;
        if (d.gaps_known && carried)
            base += capped_prior(PRIOR_WEIGHT, e - d.ln_element);
        else if (!d.gaps_known && d.marks_known)
            base += capped_prior(HINT_WEIGHT, e - d.ln_dit);
        // Once a full history rests on one speed, the element gap keeps to
        // the dit as the keyer's weight has it: a window that mixes two
        // speeds must not halve the gaps alone (the old element gaps read as
        // letter gaps). Sooner, it would hold on to a first fit gone wrong.
        if (d.gaps_known && d.marks_known && carried && d.history_count >= DECODER_HISTORY)
            base += RATIO_PRIOR_WEIGHT * sq(e - d.ln_dit - d.ln_weight);
        if (best.valid && base >= best_cost)
            return;
        const auto try_letter = [&](double l) {
            const double stretch = l - e;
            if (stretch < LN_MIN_STRETCH || l > LN_MAX_MS)
                return;
            // Gaps that fit two shapes equally (single-letter words) read
            // the one nearer the standard.
            double cost = base + DEFAULT_SHAPE_WEIGHT * sq(stretch - LN3);
            if (d.spacing_known)
                cost += capped_prior(SHAPE_PRIOR_WEIGHT, stretch - carried_stretch);
            GapFit f{e, l, true};
            int letters = 0, words = 0;
            double longest_word = 0.0;
            for (int i = 0; i < w.n && (!best.valid || cost < best_cost); ++i) {
                cost += w.weight[i] * gap_error(w.ln[i], f);
                const double x = w.ln[i];
                if (x < 0.5 * (e + l) + LN_SKEW)
                    continue;
                if (x >= l + 0.5 * LN_WORD_LETTER + LN_SKEW) {
                    ++words;
                    longest_word = std::max(longest_word, x - e);
                } else {
                    ++letters;
                }
            }
            // Words are mostly of more than one letter: before the spacing
            // is known, a fit that makes word gaps of more gaps than letter
            // gaps is unlikely (it would read a Farnsworth word as single
            // letters). One word gap alone is fine if it is about a
            // standard one ("T E"); longer, it is a Farnsworth letter gap.
            const int free_words = longest_word <= LN_STANDARD_WORD_MAX ? 1 : 0;
            if (!d.spacing_known) {
                cost += WORD_SHARE_COST * std::max(0, words - letters - free_words);
                const double word_from = l + 0.5 * LN_WORD_LETTER + LN_SKEW;
                if (d.letter_read && (d.ln_longest_letter >= word_from ||
                                      d.ln_longest_letter < 0.5 * (e + l) + LN_SKEW))
                    cost += REREAD_COST;
                if (d.word_read && d.ln_shortest_word < word_from)
                    cost += REREAD_COST;
            }
            if (!best.valid || cost < best_cost) {
                f.letters = letters;
                f.words = words;
                best = f;
                best_cost = cost;
            }
        };
        try_letter(e + (d.spacing_known ? carried_stretch : LN3));
        for (int i = 0; i < w.n; ++i) {
            try_letter(w.ln[i]);
            try_letter(w.ln[i] - LN_WORD_LETTER);
        }
    };
    for (int i = 0; i < w.n; ++i)
        try_element(w.ln[i]);
    // A window without element gaps (words of E and T) keeps the one known;
    // a lone first gap may be one, about as long as a dit.
    if (d.gaps_known && carried)
        try_element(d.ln_element);
    else if (!d.gaps_known && d.marks_known && w.n < 2)
        try_element(d.ln_dit);
    return best;
}

double element_letter_boundary(const MorseDecoder& d)
{
    return 0.5 * (d.ln_element + d.ln_letter) + LN_SKEW;
}

double letter_word_boundary(const MorseDecoder& d)
{
    return d.ln_letter + 0.5 * LN_WORD_LETTER + LN_SKEW;
}

const char* single_character(uint c)
{
    static const std::array<std::array<char, 2>, 128> table = [] {
        std::array<std::array<char, 2>, 128> t{};
        for (int i = 0; i < 128; ++i)
            t[size_t(i)] = {char(i), '\0'};
        return t;
    }();
    return table[c & 0x7F].data();
}

void append_bytes(MorseDecoder& d, const char* s)
{
    const int n = int(std::strlen(s));
    if (d.text_len + n > DECODER_TEXT_BYTES) {
        // Let the older half go, at a character's start.
        int cut = DECODER_TEXT_BYTES / 2;
        while (cut < d.text_len && (uchar(d.text[cut]) & 0xC0) == 0x80)
            ++cut;
        std::memmove(d.text, d.text + cut, size_t(d.text_len - cut));
        d.text_len -= cut;
        d.text_cut = true;
    }
    std::memcpy(d.text + d.text_len, s, size_t(n));
    d.text_len += n;
}

void end_character(MorseDecoder& d)
{
    if (d.char_ended)
        return;
    d.char_ended = true;
    d.code[d.code_len] = '\0';
    if (d.text_len == 0 && d.line_word_open)
        append_bytes(d, CONTINUED);
    append_bytes(d, d.code_bad ? "*" : decoded_character(d.code));
    d.code_len = 0;
    d.code_bad = false;
}

void end_word(MorseDecoder& d)
{
    end_character(d);
    if (d.word_ended)
        return;
    d.word_ended = true;
    if (d.text_len > 0)
        append_bytes(d, " ");
    else
        d.line_word_open = false;
}

void decide(MorseDecoder& d, const DecoderSpan& s)
{
    if (s.mark) {
        d.char_ended = false;
        d.word_ended = false;
        if (!in_fit(s) || !d.marks_known || d.code_len == DECODER_CODE_MAX) {
            d.code_bad = true;
            return;
        }
        const bool dah = s.ln - d.ln_dit >= 0.5 * d.ln_dah_ratio + LN_SKEW;
        d.code[d.code_len++] = dah ? '-' : '.';
        return;
    }
    if (!in_fit(s)) {
        end_word(d);
        return;
    }
    if (!d.gaps_known || s.ln < element_letter_boundary(d))
        return;  // between the elements of a character
    const bool word = s.ln >= letter_word_boundary(d);
    if (!d.spacing_known && word) {
        d.ln_shortest_word = d.word_read ? std::min(d.ln_shortest_word, s.ln) : s.ln;
        d.word_read = true;
    } else if (!d.spacing_known) {
        d.ln_longest_letter = d.letter_read ? std::max(d.ln_longest_letter, s.ln) : s.ln;
        d.letter_read = true;
    }
    if (word)
        end_word(d);
    else
        end_character(d);
}

void set_marks(MorseDecoder& d, const MarkFit& m)
{
    if (!m.valid)
        return;
    d.ln_dit = m.ln_dit;
    d.ln_dah_ratio = m.ln_ratio;
    d.marks_known = true;
}

void set_gaps(MorseDecoder& d, const GapFit& g)
{
    if (!g.valid)
        return;
    d.ln_element = g.ln_element;
    d.ln_letter = g.ln_letter;
    d.gaps_known = true;
    d.ln_weight = g.ln_element - d.ln_dit;
    // Letter and word gaps both seen: how far they are stretched is known.
    d.spacing_known = d.spacing_known || (g.letters > 0 && g.words > 0);
}

double span_error(const DecoderSpan& s, const MarkFit& m, const GapFit& g)
{
    if (!in_fit(s))
        return 0.0;
    if (!s.mark)
        return gap_error(s.ln, g);
    const double x = s.ln - m.ln_dit;
    return std::min(ERROR_CAP, std::min(sq(x), sq(x - m.ln_ratio)));
}

// Where among the spans waiting the speed steps, if it does: the latest
// spans, read afresh, show another speed, and splitting the spans there,
// those before read at the speed known and those after at the new one,
// explains them much better than one speed. Returns the index of the first
// span at the new speed (the new estimates in *m and *g), or the count of
// spans waiting when there is no step; *suspect is where the speed may step,
// though not yet plainly.
int speed_step_at(const MorseDecoder& d, MarkFit* m, GapFit* g, double* gain, int* suspect)
{
    *suspect = d.pending_count;
    const int n = d.pending_count;
    // The speed known must rest on spans decided, and the new one on a few.
    if (!d.marks_known || !d.gaps_known || d.history_count < STEP_SETTLED || n < STEP_FEWEST)
        return n;
    const int from = std::max(0, n - STEP_TAIL);
    *g = fit_gaps(d, tail_of(d, false, from), false);
    if (!g->valid)
        return n;
    *m = fit_marks(d, tail_of(d, true, from), true, g->ln_element, false);
    if (!m->valid)
        return n;
    // The element period, a mark and a gap, is what weight does not change.
    const double known = std::log(std::exp(d.ln_dit) + std::exp(d.ln_element));
    const double fresh = std::log(std::exp(m->ln_dit) + std::exp(g->ln_element));
    if (std::abs(fresh - known) < LN_STEP)
        return n;
    const MarkFit old_m{d.ln_dit, d.ln_dah_ratio, true};
    const GapFit old_g{d.ln_element, d.ln_letter, true};
    // cost(c) = old error of spans before c + new error of spans from c.
    double after = 0.0;
    for (int i = 0; i < n; ++i)
        after += span_error(d.pending[i], *m, *g);
    double before = 0.0, best = after;
    int best_at = 0;
    for (int c = 1; c <= n; ++c) {
        before += span_error(d.pending[c - 1], old_m, old_g);
        after -= span_error(d.pending[c - 1], *m, *g);
        if (before + after < best) {
            best = before + after;
            best_at = c;
        }
    }
    *gain = before - best;
    *suspect = best_at;
    return before - best > STEP_MARGIN ? best_at : n;
}

// Decides the oldest span waiting, with the estimates of the window around it.
void decide_oldest(MorseDecoder& d)
{
    const DecoderSpan s = d.pending[0];
    // Nothing known yet: marks first, their two classes plainer than the
    // gaps' three; the gaps then read against them.
    if (!d.marks_known && !d.gaps_known)
        set_marks(d, fit_marks(d, window_of(d, true), false, 0.0));
    MarkFit step_m;
    GapFit step_g;
    double gain = 0.0;
    int suspect = d.pending_count;
    int end = speed_step_at(d, &step_m, &step_g, &gain, &suspect);
    if (end < d.pending_count) {
        if (gain > STEP_KEPT_MARGIN)
            d.step = DecoderStep{end, step_m.ln_dit, step_m.ln_ratio, step_g.ln_element, step_g.ln_letter,
                                 step_g.letters, step_g.words};
    } else if (d.step.at >= 0) {
        end = d.step.at;
        step_m = MarkFit{d.step.ln_dit, d.step.ln_dah_ratio, true};
        step_g = GapFit{d.step.ln_element, d.step.ln_letter, true, d.step.letters, d.step.words};
    }
    if (end == 0) {
        // This span is the first at the new speed.
        d.step.at = -1;
        d.history_count = 0;
        set_marks(d, step_m);
        set_gaps(d, step_g);
        end = d.pending_count;
    }
    // The spans from where the speed may step are left out of the fits,
    // though the step is not yet plain: they may be another speed's.
    end = std::min(end, std::max(suspect, 1));
    if (!s.mark || !d.gaps_known)
        set_gaps(d, fit_gaps(d, window_of(d, false, end)));
    if (s.mark)
        set_marks(d, fit_marks(d, window_of(d, true, end), d.gaps_known, d.ln_element));
    decide(d, s);
    for (int i = 1; i < d.pending_count; ++i)
        d.pending[i - 1] = d.pending[i];
    --d.pending_count;
    if (d.step.at > 0)
        --d.step.at;
    d.history[d.history_next] = s;
    d.history_next = (d.history_next + 1) % DECODER_HISTORY;
    d.history_count = std::min(d.history_count + 1, DECODER_HISTORY);
    d.decided = std::min(d.decided + 1, DECODER_FIRST_LOOKAHEAD);
}

void decide_all(MorseDecoder& d)
{
    while (d.pending_count > 0)
        decide_oldest(d);
}

// Where a silence of ln (log ms) after the last mark ends the character
// and the word, by the estimates so far.
double character_end(const MorseDecoder& d)
{
    return d.gaps_known ? element_letter_boundary(d) : d.ln_dit + LN2;
}

// Before the keying has shown both a letter and a word gap, a gap long
// enough to be a standard word gap may as well be a Farnsworth letter gap
// ("AB" alone in a hold at 18/12 has one gap of seven element gaps). The
// first such gap among the spans waiting, or their count: it waits, with all
// after it, for keying that tells, since a line once printed stays.
int first_undecided_gap(const MorseDecoder& d)
{
    if (d.spacing_known)
        return d.pending_count;
    const GapFit fit = fit_gaps(d, window_of(d, false));
    if (fit.valid && fit.letters > 0 && fit.words > 0)
        return d.pending_count;
    const double element = d.gaps_known ? d.ln_element : d.ln_dit;
    for (int i = 0; i < d.pending_count; ++i) {
        const DecoderSpan& s = d.pending[i];
        if (s.mark || !in_fit(s) || s.ln < character_end(d) || s.ln - element < LN_MAY_BE_WORD)
            continue;
        // Plainly a word gap beside a letter gap already read.
        if (d.letter_read && s.ln >= d.ln_longest_letter + 0.5 * LN_WORD_LETTER - LN_SKEW)
            continue;
        return i;
    }
    return d.pending_count;
}

// A RELEASE: the spans of every character ended by now are decided; those of
// a character the silence has not yet ended wait for the gap after it, with
// what follows it to read them by.
void decide_to_release(MorseDecoder& d, qint64 now_ms)
{
    if (d.down || d.last_edge_ms < 0)
        return;
    const double silence = std::log(double(std::max<qint64>(now_ms - d.last_edge_ms, 1)));
    // Nothing decided yet (a first hold shorter than the lookahead): the
    // spans waiting give the first estimates.
    if (!d.marks_known && !d.gaps_known) {
        set_marks(d, fit_marks(d, window_of(d, true), false, 0.0));
        if (d.marks_known)
            set_gaps(d, fit_gaps(d, window_of(d, false)));
    }
    const bool known = d.gaps_known || d.marks_known;
    // Nothing known yet: the silence ends the character once it is twice
    // the longest mark waiting.
    double longest = 0.0;
    for (int i = 0; i < d.pending_count; ++i)
        if (d.pending[i].mark)
            longest = std::max(longest, d.pending[i].ln);
    const bool ended = known ? silence >= character_end(d) : silence >= longest + LN2;
    // Every span, or only up to the last gap that ends a character.
    int upto = d.pending_count;
    if (!ended) {
        upto = 0;
        for (int i = 0; known && i < d.pending_count; ++i)
            if (!d.pending[i].mark && d.pending[i].ln >= character_end(d))
                upto = i + 1;
    }
    const int undecided = known ? first_undecided_gap(d) : d.pending_count;
    if (undecided < upto) {
        for (int i = 0; i < undecided; ++i)
            decide_oldest(d);
        end_character(d);  // the gap waiting ends it, whichever it proves to be
        return;
    }
    for (int i = 0; i < upto; ++i)
        decide_oldest(d);
    if (!ended)
        return;
    if (silence >= std::log(DECODER_LONGEST_GAP_MS))
        end_word(d);
    else
        end_character(d);
}

QString speed_text(const MorseDecoder& d)
{
    // The element period, a mark and the gap after it, is two dits at any weight.
    if (d.marks_known && d.gaps_known)
        return QString::number(std::lround(2400.0 / (std::exp(d.ln_dit) + std::exp(d.ln_element))));
    if (d.marks_known)
        return QString::number(std::lround(1200.0 / std::exp(d.ln_dit)));
    return QStringLiteral("?");
}

QString take_line(MorseDecoder& d)
{
    int n = d.text_len;
    while (n > 0 && d.text[n - 1] == ' ')
        --n;
    if (n == 0) {
        d.text_len = 0;
        return QString();
    }
    QString text = QString::fromUtf8(d.text, n);
    if (d.text_cut)
        text.prepend(QStringLiteral("..."));
    // The word goes on into the next line unless a word gap closed it.
    d.line_word_open = !d.word_ended;
    d.text_len = 0;
    d.text_cut = false;
    return QStringLiteral("DECODED  %1  (%2 WPM)").arg(text, speed_text(d));
}

}  // namespace

const char* decoded_character(const char* code)
{
    for (const ProsignCode& p : SPECIAL_CODES)
        if (std::strcmp(p.code, code) == 0)
            return p.text;
    // The keyer's table holds upper-case letters, digits and punctuation.
    for (uint c = '!'; c <= 'Z'; ++c) {
        const char* known = morse_code(c);
        if (known && std::strcmp(known, code) == 0)
            return single_character(c);
    }
    return "*";
}

void decoder_edge(MorseDecoder& d, bool down, qint64 now_ms)
{
    if (down == d.down)
        return;
    d.down = down;
    if (d.last_edge_ms >= 0) {
        DecoderSpan s;
        s.ms = double(std::max<qint64>(now_ms - d.last_edge_ms, 1));
        s.ln = std::log(s.ms);
        s.mark = !down;
        d.pending[d.pending_count++] = s;
        const int lookahead = d.decided < DECODER_FIRST_LOOKAHEAD ? DECODER_FIRST_LOOKAHEAD : DECODER_LOOKAHEAD;
        while (d.pending_count > lookahead)
            decide_oldest(d);
    }
    d.last_edge_ms = now_ms;
}

QString decoder_release_line(MorseDecoder& d, qint64 now_ms)
{
    decide_to_release(d, now_ms);
    return take_line(d);
}

QString take_decoded_line(MorseDecoder& d)
{
    decide_all(d);
    end_word(d);
    QString line = take_line(d);
    d.line_word_open = false;
    // What follows is keyed afresh: its first silence is no gap of this text.
    d.down = false;
    d.last_edge_ms = -1;
    return line;
}

void decoder_lost_keying(MorseDecoder& d)
{
    decide_all(d);
    d.char_ended = false;
    d.word_ended = false;
    d.code_bad = true;
    end_word(d);
    d.down = false;
    d.last_edge_ms = -1;
}

bool decoder_has_text(const MorseDecoder& d)
{
    return d.text_len > 0 || d.pending_count > 0 || !d.char_ended;
}
