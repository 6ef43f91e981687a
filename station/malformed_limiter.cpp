#include "station/malformed_limiter.h"

namespace {

constexpr qint64 WINDOW_MS = 1000;

void report(const SenderId& sender, const SenderWindow& window, StationEvents& events)
{
    if (window.suppressed == 0)
        return;
    StationEvent event;
    event.kind = EventKind::Suppressed;
    event.from = sender_text(sender);
    event.count = window.suppressed;
    events.push_back(event);
}

}  // namespace

bool allow_malformed(MalformedLimiter& limiter, const SenderId& sender, qint64 now_ms,
                     StationEvents& events)
{
    auto it = limiter.senders.find(sender);
    if (it != limiter.senders.end() && now_ms >= it->second.start_ms + WINDOW_MS) {
        report(it->first, it->second, events);
        it->second.start_ms = now_ms;  // a new second; the entry keeps its place
        it->second.shown = 0;
        it->second.suppressed = 0;
    }
    if (it == limiter.senders.end()) {
        // Full: the oldest entry gives up its place, reporting what it holds.
        while (static_cast<int>(limiter.senders.size()) >= limiter.max_senders && !limiter.made.empty()) {
            const auto oldest = limiter.made.front();
            limiter.made.pop_front();
            auto entry = limiter.senders.find(oldest.first);
            if (entry != limiter.senders.end() && entry->second.order == oldest.second) {
                report(entry->first, entry->second, events);
                limiter.senders.erase(entry);
            }
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
    }

    if (limiter.global_start_ms < 0 || now_ms >= limiter.global_start_ms + WINDOW_MS) {
        limiter.global_start_ms = now_ms;
        limiter.global_shown = 0;
    }
    SenderWindow& window = it->second;
    if (window.shown >= PER_SENDER_PER_SECOND || limiter.global_shown >= GLOBAL_PER_SECOND) {
        ++window.suppressed;
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
        if (everything || now_ms >= it->second.start_ms + WINDOW_MS) {
            report(it->first, it->second, events);
            it = limiter.senders.erase(it);
        } else {
            ++it;
        }
    }
}

qint64 next_suppressed_report_ms(const MalformedLimiter& limiter)
{
    qint64 next = -1;
    for (const auto& entry : limiter.senders) {
        if (entry.second.suppressed == 0)
            continue;
        const qint64 end = entry.second.start_ms + WINDOW_MS;
        if (next < 0 || end < next)
            next = end;
    }
    return next;
}
