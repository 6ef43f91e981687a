#include "morse/morse_style.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "morse/key_schedule.h"

namespace {

constexpr qint64 WORD_GAP_DITS = 7;
constexpr qint64 LETTER_GAP_DITS = 3;

// A uniform draw in [0, 1) from 53 bits: the same on every platform.
double uniform(std::mt19937_64& random)
{
    return double(random() >> 11) * (1.0 / 9007199254740992.0);
}

}  // namespace

bool morse_style_plain(const MorseStyle& s)
{
    return (s.farnsworth_wpm == 0 || s.farnsworth_wpm == s.wpm) && s.fist_percent == 0 &&
        s.weight_percent == STANDARD_WEIGHT_PERCENT;
}

double farnsworth_unit_dits(int wpm, int farnsworth_wpm)
{
    if (farnsworth_wpm <= 0 || farnsworth_wpm >= wpm)
        return 1.0;
    const double c = wpm;
    const double s = farnsworth_wpm;
    const double delay_dits = (60.0 * c - 37.2 * s) / (s * c) / (1.2 / c);
    return delay_dits / 19.0;
}

void apply_morse_style(KeySchedule& schedule, const MorseStyle& style)
{
    if (morse_style_plain(style))
        return;
    const double unit = farnsworth_unit_dits(style.wpm, style.farnsworth_wpm);
    const double weight = double(style.weight_percent - STANDARD_WEIGHT_PERCENT) / STANDARD_WEIGHT_PERCENT;
    const double fist = style.fist_percent / 100.0;
    std::mt19937_64 random(style.seed);

    // A run's length in thousandths of a dit, its draw applied.
    const auto styled = [&](bool mark, qint64 dits) {
        double length = mark ? dits + weight
            : dits == LETTER_GAP_DITS ? LETTER_GAP_DITS * unit - weight
            : dits >= WORD_GAP_DITS   ? dits * unit - weight
                                      : dits - weight;
        if (fist > 0.0)
            length *= 1.0 + fist * (2.0 * uniform(random) - 1.0);
        return std::max<qint64>(1, std::llround(length * STYLE_UNITS_PER_DIT));
    };

    std::vector<KeyEdge>& edges = schedule.edges;
    qint64 t = 0;
    // The last edge is the last mark's end, where the source is over.
    for (size_t i = 0; i < edges.size(); ++i) {
        const qint64 length = i + 1 < edges.size() ? edges[i + 1].at - edges[i].at : 0;
        edges[i].at = t;
        if (length > 0)
            t += styled(edges[i].down, length);
    }
    const qint64 round_gap = schedule.round_units - schedule.end_units;
    schedule.end_units = t;
    schedule.round_units = t + styled(false, round_gap);
    schedule.ms_den *= STYLE_UNITS_PER_DIT;
}
