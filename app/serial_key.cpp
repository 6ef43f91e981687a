#include "app/serial_key.h"

#include <cerrno>
#include <cstring>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "monitor/tick_wakeups.h"

namespace {

void watch_edges(SerialKey& k)
{
    if (!start_modem_edge_wait(k.edges, k.wiring.device, k.wiring.mask))
        return;  // the 5 ms poll alone sees the edges
    QObject* context = k.source.context;
    k.edge_notifier = new QSocketNotifier(k.edges.event_fd(), QSocketNotifier::Read, context);
    SerialKey* key = &k;
    QObject::connect(k.edge_notifier, &QSocketNotifier::activated, context, [key] {
        clear_modem_edge_wake(key->edges);
        if (key->edges.shared && key->edges.shared->ended.load())
            stop_notifier(key->edge_notifier);  // it would stay readable: the tick polls on
        run_tick(*key->source.wakeups);
    });
}

void let_go_of_port(SerialKey& k)
{
    stop_notifier(k.edge_notifier);
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
    key_line_source_found(k.source, true);
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
    k.source.report.source = option_text;
    k.source.report.until = "the port is back";
    SerialKey* key = &k;
    k.source.line.read = [key](qint64) {
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
    k.source.is_open = [key] { return key->port.fd >= 0; };
    k.source.let_go = [key] {
        let_go_of_port(*key);
        return QString::fromLocal8Bit(std::strerror(key->read_errno));
    };
    k.source.search = [key] { key->search_timer->start(); };
    return true;
}

void connect_serial_key(SerialKey& k, TickWakeups& wakeups, QObject* context)
{
    connect_key_line_source(k.source, wakeups, context);
    SerialKey* key = &k;
    k.search_timer = new QTimer(context);
    k.search_timer->setInterval(SERIAL_SEARCH_INTERVAL_MS);
    QObject::connect(k.search_timer, &QTimer::timeout, context, [key] { look_for_port(*key); });
    watch_edges(k);
}

void close_serial_key(SerialKey& k)
{
    let_go_of_port(k);
}
