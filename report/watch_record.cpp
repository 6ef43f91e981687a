#include "report/watch_record.h"

#include "watch/watch_judge.h"

namespace {

void open_span(std::vector<WatchSpan>& list, qint64 at_ms, int kind = -1)
{
    if (!list.empty() && list.back().end_ms < 0)
        return;
    if (int(list.size()) >= MAX_WATCH_SPANS) {
        list.back().end_ms = -1;  // stretched over what it could not list
        return;
    }
    WatchSpan span;
    span.start_ms = at_ms;
    span.kind = kind;
    list.push_back(span);
}

void close_span(std::vector<WatchSpan>& list, qint64 at_ms)
{
    if (!list.empty() && list.back().end_ms < 0)
        list.back().end_ms = qMax(at_ms, list.back().start_ms);
}

void add_problem(std::vector<WatchSpan>& list, const StationEvent& e)
{
    WatchSpan span;
    span.start_ms = e.at_ms;
    span.end_ms = e.lasted_ms < 0 ? -1 : e.at_ms + e.lasted_ms;
    span.kind = e.watch_kind;
    if (int(list.size()) < MAX_WATCH_SPANS)
        list.push_back(span);
}

}  // namespace

bool record_watch_event(WatchRecord& record, const StationEvent& e)
{
    switch (e.kind) {
    case EventKind::WatchModel:
        if (e.level)
            open_span(record.model, e.at_ms);
        else
            close_span(record.model, e.at_ms);
        return true;
    case EventKind::WatchSeen:
        record.sides[e.watch_side] = true;
        if (e.level)
            open_span(record.level[e.watch_side], e.at_ms);
        else
            close_span(record.level[e.watch_side], e.at_ms);
        return true;
    case EventKind::Watch:
        record.sides[e.watch_side] = true;
        if (watch_kind_is_problem(WatchKind(e.watch_kind)) && e.watch_kind != int(WatchKind::WatchLost))
            add_problem(record.problems[e.watch_side], e);
        return true;
    default:
        return false;
    }
}

void end_watch_record(WatchRecord& record, qint64 end_ms)
{
    close_span(record.model, end_ms);
    for (auto& list : record.level)
        close_span(list, end_ms);
    for (auto& list : record.problems)
        for (WatchSpan& span : list)
            if (span.end_ms < 0)
                span.end_ms = end_ms;
}
