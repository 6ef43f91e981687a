#include "app/serial_key.h"

#include <cerrno>
#include <cstring>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "monitor/key_poll_tick.h"
#include "monitor/tick_wakeups.h"

namespace {

void stop_edge_notifier(SerialKey& k)
{
    if (!k.edge_notifier)
        return;
    k.edge_notifier->setEnabled(false);
    k.edge_notifier->deleteLater();  // we may be inside its own signal
    k.edge_notifier = nullptr;
}

void watch_edges(SerialKey& k)
{
    if (!start_modem_edge_wait(k.edges, k.wiring.device, k.wiring.mask))
        return;  // the 5 ms poll alone sees the edges
    k.edge_notifier = new QSocketNotifier(k.edges.event_fd(), QSocketNotifier::Read, k.context);
    SerialKey* key = &k;
    QObject::connect(k.edge_notifier, &QSocketNotifier::activated, k.context, [key] {
        clear_modem_edge_wake(key->edges);
        if (key->edges.shared && key->edges.shared->ended.load())
            stop_edge_notifier(*key);  // it would stay readable: the tick polls on
        run_tick(*key->wakeups);
    });
}

void let_go_of_port(SerialKey& k)
{
    stop_edge_notifier(k);
    stop_modem_edge_wait(k.edges);
    close_serial_port(k.port);
}

void look_for_port(SerialKey& k)
{
    QString reason;
    if (k.port.fd >= 0 || !open_serial_port(k.port, k.wiring.device, &reason))
        return;
    k.search_timer->stop();
    watch_edges(k);
    report_key_source_found(k.report);
    run_tick(*k.wakeups);
}

void after_tick(SerialKey& k)
{
    if (!k.line.lost || k.port.fd < 0)
        return;
    let_go_of_port(k);
    report_key_source_lost(k.report, QString::fromLocal8Bit(std::strerror(k.read_errno)));
    k.search_timer->start();
}

}  // namespace

bool open_serial_key(SerialKey& k, const QString& option_text, QString* error)
{
    QString why;
    parse_serial_line(option_text, &k.wiring, &why);
    if (!open_serial_port(k.port, k.wiring.device, &why)) {
        *error = QStringLiteral("keyline-bench: --key-serial %1: cannot open %2: %3")
                     .arg(option_text, QString::fromLocal8Bit(k.wiring.device), why);
        return false;
    }
    k.report.source = option_text;
    k.report.until = "the port is back";
    SerialKey* key = &k;
    k.line.read = [key](qint64) {
        LineReading r;
        int bits = 0;
        if (!read_modem_bits(key->port, &bits)) {
            key->read_errno = errno;
            return r;
        }
        r.answered = true;
        r.level = serial_key_level(key->wiring, bits);
        return r;
    };
    return true;
}

void connect_serial_key(SerialKey& k, TickWakeups& wakeups, QObject* context)
{
    k.wakeups = &wakeups;
    k.context = context;
    k.report.events = wakeups.events;
    wakeups.tick->line = &k.line;
    SerialKey* key = &k;
    wakeups.after_tick = [key] { after_tick(*key); };
    k.search_timer = new QTimer(context);
    k.search_timer->setInterval(SERIAL_SEARCH_INTERVAL_MS);
    QObject::connect(k.search_timer, &QTimer::timeout, context, [key] { look_for_port(*key); });
    watch_edges(k);
}

void close_serial_key(SerialKey& k)
{
    let_go_of_port(k);
}
