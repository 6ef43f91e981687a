#include "app/key_line_source.h"

#include "monitor/key_poll_tick.h"
#include "monitor/tick_wakeups.h"

namespace {

void after_tick(KeyLineSource& s)
{
    if (!s.line.lost || !s.is_open())
        return;  // answering, or lost already
    const QString reason = s.let_go();
    report_key_source_lost(s.report, reason);
    s.search();
}

}  // namespace

void connect_key_line_source(KeyLineSource& s, TickWakeups& wakeups, QObject* context)
{
    s.wakeups = &wakeups;
    s.context = context;
    s.report.events = wakeups.events;
    wakeups.tick->line = &s.line;
    KeyLineSource* source = &s;
    wakeups.after_tick = [source] { after_tick(*source); };
}

void key_line_source_found(KeyLineSource& s, bool tick)
{
    report_key_source_found(s.report);
    if (tick)
        run_tick(*s.wakeups);
}
