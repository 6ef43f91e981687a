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
        it->second = SenderWindow();
        it->second.start_ms = now_ms;
    }
    if (it == limiter.senders.end()) {
        if (static_cast<int>(limiter.senders.size()) >= limiter.max_senders) {
            flush_suppressed(limiter, now_ms, false, events);
            if (static_cast<int>(limiter.senders.size()) >= limiter.max_senders) {
                // Every window is still open: the oldest gives up its entry.
                auto oldest = limiter.senders.begin();
                for (auto j = limiter.senders.begin(); j != limiter.senders.end(); ++j)
                    if (j->second.start_ms < oldest->second.start_ms)
                        oldest = j;
                report(oldest->first, oldest->second, events);
                limiter.senders.erase(oldest);
            }
        }
        it = limiter.senders.emplace(sender, SenderWindow()).first;
        it->second.start_ms = now_ms;
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
