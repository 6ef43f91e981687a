// The tap's sockets on loopback: one per stream within the cap, the oldest
// closed for a new one, an evicted stream's closed, failures counted and
// reported at most once a second per stream.

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QThread>
#include <QUdpSocket>

#include "common/host_port.h"
#include "station/forward_tap.h"
#include "station/stream_table.h"

namespace {

SenderId sender(quint16 port)
{
    return sender_id(QHostAddress(QStringLiteral("127.0.0.1")), port);
}

ForwardTap tap_to(quint16 port, int cap)
{
    ForwardTap tap;
    EXPECT_TRUE(parse_host_port(QStringLiteral("127.0.0.1:%1").arg(port), &tap.address, &tap.port));
    tap.text = QStringLiteral("127.0.0.1:%1").arg(port);
    tap.max_sockets = cap;
    return tap;
}

}  // namespace

TEST(HostPort, NumericWithAPortAndIPv6InBrackets)
{
    const struct {
        const char* text;
        bool ok;
    } cases[] = {{"127.0.0.1:22400", true}, {"[::1]:22400", true},  {"::1:22400", false},
                 {"localhost:22400", false}, {"127.0.0.1:0", false}, {"127.0.0.1:65536", false},
                 {"127.0.0.1", false},       {"[127.0.0.1]:5", false}};
    for (const auto& c : cases) {
        QHostAddress address;
        quint16 port = 0;
        EXPECT_EQ(parse_host_port(QLatin1String(c.text), &address, &port), c.ok) << c.text;
    }
}

TEST(ForwardTap, EachStreamItsOwnSocketWithinTheCap)
{
    QUdpSocket station;
    ASSERT_TRUE(station.bind(QHostAddress(QHostAddress::LocalHost), 0));
    ForwardTap tap = tap_to(station.localPort(), 2);
    StationEvents events;
    const char payload[] = "{\"seq\":1}";
    forward_datagram(tap, sender(1001), 10, payload, 9, events);
    forward_datagram(tap, sender(1002), 20, payload, 9, events);
    forward_datagram(tap, sender(1001), 30, payload, 9, events);
    forward_datagram(tap, sender(1003), 40, payload, 9, events);  // 1002 is the oldest
    EXPECT_EQ(tap.sockets.size(), 2u);
    EXPECT_EQ(tap.sockets.count(sender(1002)), 0u);

    QList<quint16> sources;
    while (sources.size() < 4 && station.waitForReadyRead(2000)) {
        while (station.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 port = 0;
            QByteArray data(64, '\0');
            data.truncate(static_cast<int>(station.readDatagram(data.data(), data.size(), &from, &port)));
            EXPECT_EQ(data, QByteArray(payload, 9));
            sources << port;
        }
    }
    ASSERT_EQ(sources.size(), 4);
    EXPECT_EQ(sources[0], sources[2]);  // the same stream, the same socket
    EXPECT_NE(sources[0], sources[1]);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(tap.errors, 0);

    // The table evicted 1003: its socket goes; the sender just heard stays.
    StreamTable table;
    close_evicted_forwards(tap, table, sender(1001));
    EXPECT_EQ(tap.sockets.size(), 1u);
    EXPECT_EQ(tap.sockets.count(sender(1001)), 1u);
    close_forward_tap(tap);
}

TEST(ForwardTap, FailuresAreCountedAndReportedOnceASecondPerStream)
{
    quint16 nobody = 0;
    {
        QUdpSocket closed;
        ASSERT_TRUE(closed.bind(QHostAddress(QHostAddress::LocalHost), 0));
        nobody = closed.localPort();
    }
    ForwardTap tap = tap_to(nobody, 8);
    StationEvents events;
    const char payload[] = "x";
    for (int i = 0; i < 6; ++i) {
        forward_datagram(tap, sender(2001), 1000 + 100 * i, payload, 1, events);
        QThread::msleep(20);  // lets the refusal come back
    }
    forward_datagram(tap, sender(2001), 2100, payload, 1, events);  // a second later
    EXPECT_GE(tap.errors, 5);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, EventKind::ForwardFailed);
    EXPECT_EQ(events[0].address, tap.text);
    EXPECT_GE(events[1].at_ms - events[0].at_ms, 1000);
    close_forward_tap(tap);
}
