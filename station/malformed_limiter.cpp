#include "station/malformed_limiter.h"

namespace {

constexpr qint64 WINDOW_MS = 1000;

void suppress(MalformedLimiter& limiter, const SenderId& sender, qint64 now_ms)
{
    if (limiter.report_start_ms < 0)
        limiter.report_start_ms = now_ms;
    ++limiter.suppressed;
    auto it = limiter.suppressed_from.find(sender);
    if (it != limiter.suppressed_from.end())
        ++it->second;
    else if (static_cast<int>(limiter.suppressed_from.size()) < MAX_COUNTED_SENDERS)
        limiter.suppressed_from.emplace(sender, 1);
}

// The entry of sender, made (giving up the oldest when full) if there is none.
SenderWindow& window_of(MalformedLimiter& limiter, const SenderId& sender, qint64 now_ms)
{
    auto it = limiter.senders.find(sender);
    if (it != limiter.senders.end()) {
        if (now_ms >= it->second.start_ms + WINDOW_MS) {
            it->second.start_ms = now_ms;  // a new second; the entry keeps its place
            it->second.shown = 0;
        }
        return it->second;
    }
    while (static_cast<int>(limiter.senders.size()) >= limiter.max_senders && !limiter.made.empty()) {
        const auto oldest = limiter.made.front();
        limiter.made.pop_front();
        auto entry = limiter.senders.find(oldest.first);
        if (entry != limiter.senders.end() && entry->second.order == oldest.second)
            limiter.senders.erase(entry);
    }
    it = limiter.senders.emplace(sender, SenderWindow()).first;
    it->second.start_ms = now_ms;
    it->second.order = limiter.next_order++;
    limiter.made.emplace_back(sender, it->second.order);
    if (static_cast<int>(limiter.made.size()) > 2 * limiter.max_senders) {
        // Drop the stale pairs, keeping the order of the live ones.
        std::deque<std::pair<SenderId, qint64>> live;
        for (const auto& pair : limiter.made) {
            auto entry = limiter.senders.find(pair.first);
            if (entry != limiter.senders.end() && entry->second.order == pair.second)
                live.push_back(pair);
        }
        limiter.made.swap(live);
    }
    return it->second;
}

}  // namespace

bool allow_malformed(MalformedLimiter& limiter, const SenderId& sender, qint64 now_ms,
                     StationEvents& events)
{
    Q_UNUSED(events);
    SenderWindow& window = window_of(limiter, sender, now_ms);
    if (limiter.global_start_ms < 0 || now_ms >= limiter.global_start_ms + WINDOW_MS) {
        limiter.global_start_ms = now_ms;
        limiter.global_shown = 0;
    }
    if (window.shown >= PER_SENDER_PER_SECOND || limiter.global_shown >= GLOBAL_PER_SECOND) {
        suppress(limiter, sender, now_ms);
        return false;
    }
    ++window.shown;
    ++limiter.global_shown;
    return true;
}

void flush_suppressed(MalformedLimiter& limiter, qint64 now_ms, bool everything,
                      StationEvents& events)
{
    for (auto it = limiter.senders.begin(); it != limiter.senders.end();) {
        if (everything || now_ms >= it->second.start_ms + WINDOW_MS)
            it = limiter.senders.erase(it);
        else
            ++it;
    }
    if (limiter.suppressed == 0 || !(everything || now_ms >= limiter.report_start_ms + WINDOW_MS))
        return;
    StationEvent event;
    event.kind = EventKind::Suppressed;
    event.count = limiter.suppressed;
    event.senders = static_cast<qint64>(limiter.suppressed_from.size());
    if (limiter.suppressed_from.size() == 1)
        event.from = sender_text(limiter.suppressed_from.begin()->first);
    event.per_sender.reserve(limiter.suppressed_from.size());
    for (const auto& entry : limiter.suppressed_from)
        event.per_sender.emplace_back(sender_text(entry.first), entry.second);
    events.push_back(event);
    limiter.report_start_ms = -1;
    limiter.suppressed = 0;
    limiter.suppressed_from.clear();
}

qint64 next_suppressed_report_ms(const MalformedLimiter& limiter)
{
    return limiter.suppressed > 0 ? limiter.report_start_ms + WINDOW_MS : -1;
}
