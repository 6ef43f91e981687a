#include "morse/morse_decoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "morse/key_schedule.h"

namespace {

const double LN3 = std::log(3.0);
const double LN7 = std::log(7.0);
// Class boundaries sit at sqrt(1 - 0.3^2) of the geometric mean of their two
// classes: there a ±30 % fist leaves the same margin on either side.
const double LN_SKEW = 0.5 * std::log(1.0 - 0.3 * 0.3);
const double LN_MIN_DIT = std::log(8.0);    // 150 WPM
const double LN_MAX_DIT = std::log(600.0);  // 2 WPM

// One span's fit error is capped: a pause or a stray span weighs no more
// than a span a factor two off.
constexpr double ERROR_CAP = 0.48;
// The previous dit settles a window that fits two speeds equally well (all
// dits or all dahs) and is overruled by a few spans at a new speed...
constexpr double PRIOR_WEIGHT = 0.15;
// ... and however far the new speed is, it costs no more than half a span.
constexpr double PRIOR_CAP = 0.24;
// The previous stretch of the spacing (unit / dit) weighs less: the first
// letters of a Farnsworth text show few long gaps to fit it by.
constexpr double UNIT_PRIOR_WEIGHT = 0.2;
// A spacing unit longer than the dit (Farnsworth) must earn its keep: it
// costs as much as some spans off, however long it is.
constexpr double FARNSWORTH_COST = 0.05;
// Otherwise equal fits read the longer dit ("..." rather than "TTT") and the
// longer unit (long gaps between letters rather than between words).
constexpr double LONGER_BIAS = 0.01;

// A span this many spans away from the one decided weighs half.
constexpr double NEAR_SPANS = 6.0;
constexpr int AHEAD_DISTANCE = 1;

struct ProsignCode {
    const char* code;
    const char* text;
};

const ProsignCode SPECIAL_CODES[] = {
    {".-.-.", "<AR>"}, {"-...-", "<BT>"}, {"-.--.", "<KN>"},     {"...-.-", "<SK>"},
    {".-...", "<AS>"}, {"..-..", "\xC3\x89"}, {"...---...", "<SOS>"},
};

double sq(double x)
{
    return x * x;
}

double mark_error(double ln_ms, double ln_dit)
{
    const double x = ln_ms - ln_dit;
    return std::min(ERROR_CAP, std::min(sq(x), sq(x - LN3)));
}

double gap_error(double ln_ms, double ln_dit, double ln_unit)
{
    const double e = std::min(sq(ln_ms - ln_dit), std::min(sq(ln_ms - ln_unit - LN3), sq(ln_ms - ln_unit - LN7)));
    return std::min(ERROR_CAP, e);
}

bool in_fit(const DecoderSpan& s)
{
    return !(s.mark && s.ms > DECODER_LONGEST_MARK_MS);
}

struct Fit {
    double ln_dit = 0.0;
    double ln_unit = 0.0;
    bool valid = false;
};

// The dit and spacing unit that explain the window best: every mark a dit or
// a dah, every gap an element, letter or word gap.
Fit fit_window(const MorseDecoder& d)
{
    // Spans near the one to decide weigh most, so that a change of speed
    // is followed within a few elements.
    const DecoderSpan* spans[DECODER_HISTORY + DECODER_LOOKAHEAD + 1];
    double weight[DECODER_HISTORY + DECODER_LOOKAHEAD + 1];
    int n = 0;
    const auto add = [&](const DecoderSpan& s, int distance) {
        if (!in_fit(s))
            return;
        spans[n] = &s;
        weight[n++] = NEAR_SPANS / (NEAR_SPANS + std::abs(distance));
    };
    for (int i = 0; i < d.history_count; ++i)
        add(d.history[(d.history_next - d.history_count + i + DECODER_HISTORY) % DECODER_HISTORY],
            d.history_count - i);
    // Those after it count less once there are some before it: they may
    // already be at the new speed.
    const int ahead = d.history_count > 0 ? AHEAD_DISTANCE : 1;
    for (int i = 0; i < d.pending_count; ++i)
        add(d.pending[i], i * ahead);

    Fit best;
    double best_cost = 0.0;
    const bool have_prior = d.dit_ms > 0.0;
    const double ln_prior = have_prior ? std::log(d.dit_ms) : 0.0;
    const double ln_prior_stretch = have_prior ? std::log(d.unit_ms / d.dit_ms) : 0.0;
    const auto try_dit = [&](double ln_dit) {
        if (ln_dit < LN_MIN_DIT || ln_dit > LN_MAX_DIT)
            return;
        double base = -LONGER_BIAS * ln_dit;
        if (have_prior)
            base += std::min(PRIOR_CAP, PRIOR_WEIGHT * sq(ln_dit - ln_prior));
        for (int i = 0; i < n; ++i)
            if (spans[i]->mark)
                base += weight[i] * mark_error(spans[i]->ln, ln_dit);
        if (best.valid && base >= best_cost)
            return;
        const auto try_unit = [&](double ln_unit) {
            if (ln_unit < ln_dit)
                return;
            double cost = base - LONGER_BIAS * ln_unit;
            if (ln_unit > ln_dit + 0.05)
                cost += FARNSWORTH_COST;
            if (have_prior)
                cost += std::min(PRIOR_CAP, UNIT_PRIOR_WEIGHT * sq(ln_unit - ln_dit - ln_prior_stretch));
            for (int i = 0; i < n && (!best.valid || cost < best_cost); ++i)
                if (!spans[i]->mark)
                    cost += weight[i] * gap_error(spans[i]->ln, ln_dit, ln_unit);
            if (!best.valid || cost < best_cost) {
                best = Fit{ln_dit, ln_unit, true};
                best_cost = cost;
            }
        };
        try_unit(ln_dit);
        for (int i = 0; i < n; ++i) {
            if (spans[i]->mark || spans[i]->ln - ln_dit < LN3 - 0.4)
                continue;
            try_unit(spans[i]->ln - LN3);
            try_unit(spans[i]->ln - LN7);
        }
    };
    for (int i = 0; i < n; ++i) {
        try_dit(spans[i]->ln);
        if (spans[i]->mark)
            try_dit(spans[i]->ln - LN3);
    }
    return best;
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

void append_text(MorseDecoder& d, const char* s)
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
    if (d.code_len == 0 && !d.code_bad)
        return;
    d.code[d.code_len] = '\0';
    append_text(d, d.code_bad ? "*" : decoded_character(d.code));
    d.code_len = 0;
    d.code_bad = false;
}

void word_space(MorseDecoder& d)
{
    if (d.text_len > 0 && d.text[d.text_len - 1] != ' ')
        append_text(d, " ");
}

void decide(MorseDecoder& d, const DecoderSpan& s, const Fit& f)
{
    if (s.mark) {
        if (!in_fit(s) || d.code_len == DECODER_CODE_MAX) {
            d.code_bad = true;
            return;
        }
        const bool dah = s.ln - f.ln_dit >= LN_SKEW + 0.5 * LN3;
        d.code[d.code_len++] = dah ? '-' : '.';
        return;
    }
    if (s.ln < LN_SKEW + 0.5 * (f.ln_dit + LN3 + f.ln_unit))
        return;  // between the elements of a character
    end_character(d);
    if (s.ln >= LN_SKEW + 0.5 * (LN3 + LN7) + f.ln_unit)
        word_space(d);
}

// Decides the oldest span waiting, with the speed of the window around it.
void decide_oldest(MorseDecoder& d)
{
    const Fit f = fit_window(d);
    const DecoderSpan s = d.pending[0];
    if (f.valid) {
        d.dit_ms = std::exp(f.ln_dit);
        d.unit_ms = std::exp(f.ln_unit);
        decide(d, s, f);
    } else {
        d.code_bad = d.code_bad || s.mark;  // nothing to read it by: a lone overlong mark
    }
    for (int i = 1; i < d.pending_count; ++i)
        d.pending[i - 1] = d.pending[i];
    --d.pending_count;
    d.history[d.history_next] = s;
    d.history_next = (d.history_next + 1) % DECODER_HISTORY;
    d.history_count = std::min(d.history_count + 1, DECODER_HISTORY);
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
        if (d.pending_count > DECODER_LOOKAHEAD)
            decide_oldest(d);
    }
    d.last_edge_ms = now_ms;
}

void decoder_flush(MorseDecoder& d)
{
    while (d.pending_count > 0)
        decide_oldest(d);
    end_character(d);
    word_space(d);
    // The next transmission may come at another speed: only the fitted dit
    // is carried over, as the weak prior.
    d.history_count = 0;
    d.down = false;
    d.last_edge_ms = -1;
}

bool decoder_has_text(const MorseDecoder& d)
{
    return d.text_len > 0 || d.pending_count > 0 || d.code_len > 0 || d.code_bad;
}

QString take_decoded_line(MorseDecoder& d)
{
    decoder_flush(d);
    int n = d.text_len;
    while (n > 0 && d.text[n - 1] == ' ')
        --n;
    QString text = QString::fromUtf8(d.text, n);
    if (d.text_cut)
        text.prepend(QStringLiteral("..."));
    const QString speed = d.dit_ms > 0.0 ? QString::number(std::lround(1200.0 / d.dit_ms)) : QStringLiteral("?");
    d.text_len = 0;
    d.text_cut = false;
    return QStringLiteral("DECODED  %1  (%2 WPM)").arg(text, speed);
}
