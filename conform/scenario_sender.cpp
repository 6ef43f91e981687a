#include "conform/scenario_sender.h"

#include <QTimer>
#include <QUdpSocket>

#include "monitor/monotonic_clock.h"

namespace {

QHostAddress any_address(const QHostAddress& station)
{
    return station.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress(QHostAddress::AnyIPv6)
                                                                 : QHostAddress(QHostAddress::AnyIPv4);
}

// A socket of its own on `port` (0: any free port); null with the reason.
QUdpSocket* open_source(const QHostAddress& station, quint16 port, QString& error)
{
    auto* socket = new QUdpSocket;
    if (!socket->bind(any_address(station), port)) {
        error = QStringLiteral("cannot open a source socket: %1").arg(socket->errorString());
        delete socket;
        return nullptr;
    }
    return socket;
}

void play_due(ScenarioSender& sender)
{
    const Scenario& scenario = *sender.scenario;
    const qint64 now = monotonic_now_ms();
    while (sender.next < scenario.sends.size() &&
           sender.start_ms + scenario.sends[sender.next].at_ms <= now) {
        const ScheduledSend& send = scenario.sends[sender.next];
        const int source = static_cast<int>(send.source);
        if (send.rebind && sender.sockets[source]) {
            // The same port again, as an agent restarted on a fixed port.
            delete sender.sockets[source];
            sender.sockets[source] = open_source(sender.station, sender.ports[source], sender.error);
        }
        SentRecord record;
        record.send_index = static_cast<int>(sender.next);
        record.source_port = sender.ports[source];
        // Stamped before it leaves: the station cannot act on it earlier,
        // however long this process is kept from running after the send.
        record.at_ms = monotonic_now_ms();
        if (QUdpSocket* socket = sender.sockets[source]) {
            for (int i = 0; i < send.copies; ++i)
                if (socket->writeDatagram(send.payload, sender.station, sender.station_port) == send.payload.size())
                    ++record.sent;
        }
        sender.sent.push_back(record);
        if (sender.on_sent)
            sender.on_sent(record);
        ++sender.next;
    }
    if (sender.next >= scenario.sends.size()) {
        if (sender.on_done)
            sender.on_done();
        return;
    }
    const qint64 due = sender.start_ms + scenario.sends[sender.next].at_ms;
    sender.timer->start(static_cast<int>(qMax<qint64>(0, due - monotonic_now_ms())));
}

}  // namespace

bool start_scenario(ScenarioSender& sender, const Scenario& scenario, qint64 start_ms)
{
    stop_scenario(sender);
    sender.scenario = &scenario;
    sender.start_ms = start_ms;
    sender.next = 0;
    sender.sent.clear();
    sender.error.clear();
    for (int i = 0; i < SOURCE_COUNT; ++i) {
        sender.sockets[i] = open_source(sender.station, 0, sender.error);
        if (!sender.sockets[i]) {
            stop_scenario(sender);
            return false;
        }
        sender.ports[i] = sender.sockets[i]->localPort();
    }
    if (!sender.timer) {
        sender.timer = new QTimer;
        sender.timer->setSingleShot(true);
        sender.timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(sender.timer, &QTimer::timeout, [&sender] { play_due(sender); });
    }
    play_due(sender);
    return true;
}

void stop_scenario(ScenarioSender& sender)
{
    if (sender.timer)
        sender.timer->stop();
    for (QUdpSocket*& socket : sender.sockets) {
        delete socket;
        socket = nullptr;
    }
}
