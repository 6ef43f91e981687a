// The tap's sockets on loopback: one per stream for as long as the stream
// lives, none for a sender that is not a stream, failures counted and
// reported at most once a second per socket, nothing sent back round; and
// the queue between the tap's thread and the checker.

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QThread>
#include <QUdpSocket>

#include <vector>

#include "common/host_port.h"
#include "station/forward_tap.h"
#include "station/forward_tap_queue.h"

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
    tap.target = sender_id(tap.address, tap.port);
    tap.max_sockets = cap;
    return tap;
}

const char VALID[] = "{\"tx_inhibit\":1,\"ttl_ms\":600,\"station\":\"S\",\"band\":\"1\",\"seq\":1}";
const int VALID_SIZE = sizeof VALID - 1;

// The source ports of the next n datagrams at station.
QList<quint16> sources(QUdpSocket& station, int n)
{
    QList<quint16> ports;
    while (ports.size() < n && station.waitForReadyRead(2000)) {
        while (station.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 port = 0;
            char data[128];
            station.readDatagram(data, sizeof data, &from, &port);
            ports << port;
        }
    }
    return ports;
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

TEST(ForwardTap, AStreamKeepsItsSocketAndASenderThatIsNotAStreamTakesNone)
{
    QUdpSocket station;
    ASSERT_TRUE(station.bind(QHostAddress(QHostAddress::LocalHost), 0));
    ForwardTap tap = tap_to(station.localPort(), 2);
    const char junk[] = "junk";
    // A, junk from C, B, A, junk from D, a third stream E beyond the cap, A.
    const struct {
        quint16 from;
        bool valid;
    } sends[] = {{1001, true}, {1003, false}, {1002, true}, {1001, true},
                 {1004, false}, {1005, true}, {1001, true}};
    std::vector<ForwardOutcome> outcomes;
    for (const auto& s : sends)
        outcomes.push_back(forward_datagram(tap, sender(s.from), s.valid ? VALID : junk,
                                            s.valid ? VALID_SIZE : 4, 10));
    const QList<quint16> ports = sources(station, 7);
    ASSERT_EQ(ports.size(), 7);
    EXPECT_EQ(ports[0], ports[3]);  // A, the same socket
    EXPECT_EQ(ports[0], ports[6]);  // still, with E refused a socket of its own
    EXPECT_NE(ports[0], ports[2]);
    EXPECT_EQ(ports[1], ports[4]);  // the junk senders share one
    EXPECT_EQ(ports[1], ports[5]);  // and so does E, with an error
    EXPECT_NE(ports[1], ports[0]);
    EXPECT_NE(ports[1], ports[2]);
    EXPECT_EQ(tap.sockets.size(), 2u);
    EXPECT_TRUE(outcomes[0].own_socket && !outcomes[1].own_socket && outcomes[2].own_socket);
    EXPECT_EQ(outcomes[5].error, NO_OWN_SOCKET);
    EXPECT_TRUE(outcomes[5].report && !outcomes[5].own_socket);
    for (int i : {0, 1, 2, 3, 4, 6})
        EXPECT_EQ(outcomes[i].error, 0) << i;

    // Gone as of a datagram before A's last: A sent since, it stays.
    forget_forward(tap, sender(1001), outcomes[3].serial);
    EXPECT_EQ(tap.sockets.count(sender(1001)), 1u);
    forget_forward(tap, sender(1001), outcomes[6].serial);
    EXPECT_EQ(tap.sockets.count(sender(1001)), 0u);
    // Its place is free: E gets a socket of its own now.
    EXPECT_TRUE(forward_datagram(tap, sender(1005), VALID, VALID_SIZE, 20).own_socket);
    close_forward_tap(tap);
}

TEST(ForwardTap, WhatComesBackFromTheTargetOrTheTapItselfIsNotSentOn)
{
    QUdpSocket station;
    ASSERT_TRUE(station.bind(QHostAddress(QHostAddress::LocalHost), 0));
    ForwardTap tap = tap_to(station.localPort(), 8);
    ASSERT_EQ(forward_datagram(tap, sender(1001), VALID, VALID_SIZE, 10).error, 0);
    const QList<quint16> ports = sources(station, 1);
    ASSERT_EQ(ports.size(), 1);
    EXPECT_TRUE(forward_datagram(tap, sender(station.localPort()), VALID, VALID_SIZE, 10).came_back);
    EXPECT_TRUE(forward_datagram(tap, sender(ports[0]), VALID, VALID_SIZE, 10).came_back);
    SenderId mapped = sender(station.localPort());  // ::ffff:127.0.0.1
    mapped.family = 6;
    const quint8 v6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
    std::copy(v6, v6 + 16, mapped.addr);
    EXPECT_TRUE(forward_datagram(tap, mapped, VALID, VALID_SIZE, 10).came_back);
    EXPECT_FALSE(station.waitForReadyRead(100));
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
    int errors = 0;
    std::vector<qint64> reported;
    auto send = [&](qint64 now_ms) {
        const ForwardOutcome outcome = forward_datagram(tap, sender(2001), VALID, VALID_SIZE, now_ms);
        errors += outcome.error != 0;
        if (outcome.report)
            reported.push_back(now_ms);
    };
    for (int i = 0; i < 6; ++i) {
        send(1000 + 100 * i);
        QThread::msleep(20);  // lets the refusal come back
    }
    send(2100);  // a second later
    EXPECT_GE(errors, 5);
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_GE(reported[1] - reported[0], 1000);
    close_forward_tap(tap);
}

TEST(ForwardTap, AForwardThatWouldReachTheStationItselfIsKnown)
{
    const struct {
        const char* bind;
        quint16 port;
        const char* target;
        quint16 target_port;
        bool loops;
    } cases[] = {
        {"127.0.0.1", 5000, "127.0.0.1", 5000, true},  {"127.0.0.1", 5000, "127.0.0.1", 5001, false},
        {"0.0.0.0", 5000, "127.0.0.1", 5000, true},    {"0.0.0.0", 5000, "127.0.0.2", 5000, true},
        {"0.0.0.0", 5000, "0.0.0.0", 5000, true},      {"127.0.0.1", 5000, "0.0.0.0", 5000, true},
        {"127.0.0.1", 5000, "127.0.0.2", 5000, false}, {"::", 5000, "127.0.0.1", 5000, true},
        {"::", 5000, "::1", 5000, true},               {"::1", 5000, "::1", 5000, true},
        {"0.0.0.0", 5000, "::1", 5000, false},         {"0.0.0.0", 5000, "192.0.2.1", 5000, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(forward_reaches_itself(QHostAddress(QLatin1String(c.bind)), c.port,
                                         QHostAddress(QLatin1String(c.target)), c.target_port),
                  c.loops)
            << c.bind << " " << c.target;
}

TEST(HandoverQueue, KeepsOrderAndBytesAcrossTheWrapAndRefusesWhatDoesNotFit)
{
    HandoverQueue queue(256);
    std::vector<char> out(256);
    int put = 0;
    int taken = 0;
    for (int round = 0; round < 50; ++round) {
        // Sizes that do not divide the ring, so records wrap at every offset.
        while (true) {
            const std::string data(static_cast<size_t>(put % 37), static_cast<char>('a' + put % 26));
            if (!queue.put(&put, sizeof put, data.data(), data.size()))
                break;
            ++put;
        }
        ASSERT_GT(put, taken);
        for (int k = 0; k < 2; ++k) {
            int head = -1;
            std::size_t size = 0;
            ASSERT_TRUE(queue.take(&head, sizeof head, out.data(), out.size(), size));
            EXPECT_EQ(head, taken);
            EXPECT_EQ(std::string(out.data(), size),
                      std::string(static_cast<size_t>(taken % 37), static_cast<char>('a' + taken % 26)));
            ++taken;
        }
    }
    int head = -1;
    std::size_t size = 0;
    while (queue.take(&head, sizeof head, out.data(), out.size(), size))
        EXPECT_EQ(head, taken++);
    EXPECT_EQ(taken, put);
}
