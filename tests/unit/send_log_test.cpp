// The send log line, the kinds and their counters, and send_inhibit itself
// against a UDP receiver on loopback.

#include <gtest/gtest.h>

#include "qt_test_app.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QTextStream>

#include "bench_test_events.h"
#include <QTime>
#include <QUdpSocket>

#include <memory>

#include "hold/inhibit_payload.h"
#include "hold/inhibit_sender.h"
#include "report/bench_lines.h"
#include "common/log_line.h"

TEST(LogStamp, FixedTimes)
{
    EXPECT_EQ(log_stamp(QTime(9, 5, 2, 45)), QStringLiteral("09:05:02.045"));
    EXPECT_EQ(log_stamp(QTime(23, 59, 59, 999)), QStringLiteral("23:59:59.999"));
    EXPECT_EQ(log_stamp(QTime(0, 0, 0, 0)), QStringLiteral("00:00:00.000"));
    EXPECT_EQ(log_stamp(QTime(13, 7, 8, 9)), QStringLiteral("13:07:08.009"));  // 24-hour clock
}

TEST(LogStamp, WriteLogLineStampsAndFlushes)
{
    QBuffer buffer;
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly));
    QTextStream out(&buffer);

    const QTime before = QTime::currentTime();
    write_log_line(out, QStringLiteral("  KEY ASSERT"));
    const QTime after = QTime::currentTime();

    // No flush here: the line must already be on the device.
    const QString line = QString::fromUtf8(buffer.data());
    const QRegularExpression shape(QStringLiteral(R"(^(\d\d:\d\d:\d\d\.\d\d\d)  KEY ASSERT\n$)"));
    const QRegularExpressionMatch m = shape.match(line);
    ASSERT_TRUE(m.hasMatch()) << line.toStdString();
    const QTime stamped = QTime::fromString(m.captured(1), QStringLiteral("hh:mm:ss.zzz"));
    ASSERT_TRUE(stamped.isValid());
    if (before <= after) {  // not across midnight
        EXPECT_LE(before, stamped);
        EXPECT_LE(stamped, after);
    }
}

TEST(SendLogText, TheTwoExamples)
{
    SendCounters c;
    c.holds = 1;
    EXPECT_EQ(send_log_text(InhibitKind::Hold, 600, QStringLiteral("127.0.0.1"), 22372, c, nullptr),
              QStringLiteral("  HOLD  ttl_ms=600  -> 127.0.0.1:22372  (holds=1 ka=0 rel=0)"));
    c.ka = 3;
    c.rel = 1;
    EXPECT_EQ(send_log_text(InhibitKind::Release, 0, QStringLiteral("127.0.0.1"), 22372, c,
                            "hang done / EOT"),
              QStringLiteral("  RELEASE  ttl_ms=0  -> 127.0.0.1:22372  (holds=1 ka=3 rel=1)"
                             "  (hang done / EOT)"));
    EXPECT_EQ(send_log_text(InhibitKind::Keepalive, 150, QStringLiteral("127.0.0.1"), 22372, c,
                            nullptr),
              QStringLiteral("  KEEPALIVE  ttl_ms=150  -> 127.0.0.1:22372  (holds=1 ka=3 rel=1)"));
}

TEST(SendLogText, NoteOnlyOnReleaseAndOnlyWhenNotEmpty)
{
    const SendCounters c;
    const QString host = QStringLiteral("127.0.0.1");
    const QString bare = QStringLiteral("  (holds=0 ka=0 rel=0)");
    EXPECT_TRUE(send_log_text(InhibitKind::Release, 0, host, 1, c, nullptr).endsWith(bare));
    EXPECT_TRUE(send_log_text(InhibitKind::Release, 0, host, 1, c, "").endsWith(bare));
    EXPECT_TRUE(send_log_text(InhibitKind::Hold, 600, host, 1, c, "quit").endsWith(bare));
    EXPECT_TRUE(send_log_text(InhibitKind::Keepalive, 600, host, 1, c, "quit").endsWith(bare));
    EXPECT_TRUE(send_log_text(InhibitKind::Release, 0, host, 1, c, "quit")
                    .endsWith(bare + QStringLiteral("  (quit)")));
    EXPECT_TRUE(send_log_text(InhibitKind::Release, 0, host, 1, c, "continuous (non-break-in/SSB)")
                    .endsWith(bare + QStringLiteral("  (continuous (non-break-in/SSB))")));
}

TEST(SendLogText, HostAsTypedAndPortUnsigned)
{
    SendCounters c;
    c.holds = 12;
    c.ka = 345;
    c.rel = 11;
    EXPECT_EQ(send_log_text(InhibitKind::Hold, 600, QStringLiteral("::1"), 65535, c, nullptr),
              QStringLiteral("  HOLD  ttl_ms=600  -> ::1:65535  (holds=12 ka=345 rel=11)"));
    // Not normalised, and a '%' in the text (an IPv6 zone) is kept as it is.
    EXPECT_EQ(send_log_text(InhibitKind::Hold, 600, QStringLiteral("0:0:0:0:0:0:0:1"), 40000, c,
                            nullptr),
              QStringLiteral("  HOLD  ttl_ms=600  -> 0:0:0:0:0:0:0:1:40000  (holds=12 ka=345 rel=11)"));
    EXPECT_EQ(send_log_text(InhibitKind::Hold, 600, QStringLiteral("fe80::1%2"), 1, c, nullptr),
              QStringLiteral("  HOLD  ttl_ms=600  -> fe80::1%2:1  (holds=12 ka=345 rel=11)"));
}

TEST(InhibitKinds, TableAndCounters)
{
    EXPECT_EQ(inhibit_kind(0, false), InhibitKind::Release);
    EXPECT_EQ(inhibit_kind(0, true), InhibitKind::Release);
    EXPECT_EQ(inhibit_kind(600, false), InhibitKind::Hold);
    EXPECT_EQ(inhibit_kind(100, true), InhibitKind::Keepalive);
    EXPECT_STREQ(inhibit_label(InhibitKind::Hold), "HOLD");
    EXPECT_STREQ(inhibit_label(InhibitKind::Keepalive), "KEEPALIVE");
    EXPECT_STREQ(inhibit_label(InhibitKind::Release), "RELEASE");

    SendCounters c;
    count_inhibit(c, InhibitKind::Hold);
    count_inhibit(c, InhibitKind::Keepalive);
    count_inhibit(c, InhibitKind::Keepalive);
    count_inhibit(c, InhibitKind::Release);
    count_inhibit(c, InhibitKind::Release);
    count_inhibit(c, InhibitKind::Release);
    EXPECT_EQ(c.holds, 1);
    EXPECT_EQ(c.ka, 2);
    EXPECT_EQ(c.rel, 3);
    EXPECT_EQ(c.seq, 1);  // counting a kind does not use up a number
}

// send_inhibit against a real receiver on 127.0.0.1.
class SendInhibit : public ::testing::Test {
protected:
    static void SetUpTestSuite() { qt_test_app(); }

    void SetUp() override
    {
        ASSERT_TRUE(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
        sender.socket = &socket;
        sender.address = QHostAddress(QStringLiteral("127.0.0.1"));
        sender.host_text = QStringLiteral("127.0.0.1");
        sender.port = receiver.localPort();
        sender.station_body = json_string_body(QStringLiteral("TEST-KEY"));
        sender.band_body = json_string_body(QStringLiteral("144"));
        sender.events = log_events.attach(&out, &err);
    }

    // Datagrams that have arrived within wait_ms of the first one.
    QList<QByteArray> received(int wait_ms)
    {
        QList<QByteArray> got;
        while (receiver.hasPendingDatagrams() || receiver.waitForReadyRead(wait_ms)) {
            while (receiver.hasPendingDatagrams()) {
                QByteArray d(int(receiver.pendingDatagramSize()), '\0');
                receiver.readDatagram(d.data(), d.size());
                got.append(d);
            }
            wait_ms = 50;
        }
        return got;
    }

    QUdpSocket receiver;
    QUdpSocket socket;
    QString log;
    QTextStream out{&log};
    QTextStream err{&log};  // same text, so the order of the two is visible
    TestEvents log_events;
    InhibitSender sender;
};

TEST_F(SendInhibit, KeepaliveWithoutHoldDoesNothing)
{
    log_events.text.verbose_keepalive = true;
    send_inhibit(sender, false, 600, true, nullptr);
    EXPECT_TRUE(received(150).isEmpty());
    EXPECT_EQ(sender.counters.seq, 1);
    EXPECT_EQ(sender.counters.ka, 0);
    EXPECT_TRUE(log.isEmpty()) << log.toStdString();
}

TEST_F(SendInhibit, NumbersCountersAndLinesAcrossKinds)
{
    log_events.text.verbose_keepalive = false;
    send_inhibit(sender, true, 600, false, "ignored");  // HOLD
    send_inhibit(sender, true, 600, true, nullptr);     // KEEPALIVE, silent
    send_inhibit(sender, true, 600, true, nullptr);     // KEEPALIVE, silent
    send_inhibit(sender, false, 0, false, "hang done / EOT");  // RELEASE

    const QList<QByteArray> got = received(1000);
    ASSERT_EQ(got.size(), 4);
    EXPECT_EQ(got[0], QByteArray(R"({"tx_inhibit":1,"ttl_ms":600,"station":"TEST-KEY","band":"144","seq":1})"));
    EXPECT_EQ(got[1], QByteArray(R"({"tx_inhibit":1,"ttl_ms":600,"station":"TEST-KEY","band":"144","seq":2})"));
    EXPECT_EQ(got[2], QByteArray(R"({"tx_inhibit":1,"ttl_ms":600,"station":"TEST-KEY","band":"144","seq":3})"));
    EXPECT_EQ(got[3], QByteArray(R"({"tx_inhibit":1,"ttl_ms":0,"station":"TEST-KEY","band":"144","seq":4})"));

    EXPECT_EQ(sender.counters.seq, 5);
    EXPECT_EQ(sender.counters.holds, 1);
    EXPECT_EQ(sender.counters.ka, 2);
    EXPECT_EQ(sender.counters.rel, 1);

    const QStringList lines = log.split('\n');
    ASSERT_EQ(lines.size(), 3) << log.toStdString();  // two lines and the empty tail
    const QString port = QString::number(sender.port);
    EXPECT_EQ(lines[0].mid(12), QStringLiteral("  HOLD  ttl_ms=600  -> 127.0.0.1:") + port +
                                    QStringLiteral("  (holds=1 ka=0 rel=0)"));
    EXPECT_EQ(lines[1].mid(12), QStringLiteral("  RELEASE  ttl_ms=0  -> 127.0.0.1:") + port +
                                    QStringLiteral("  (holds=1 ka=2 rel=1)  (hang done / EOT)"));
    EXPECT_TRUE(lines[2].isEmpty());
}

TEST_F(SendInhibit, VerboseKeepalivePrintsItsLine)
{
    log_events.text.verbose_keepalive = true;
    send_inhibit(sender, true, 150, true, "ignored");
    ASSERT_EQ(received(1000).size(), 1);
    EXPECT_EQ(log.mid(12), QStringLiteral("  KEEPALIVE  ttl_ms=150  -> 127.0.0.1:") +
                               QString::number(sender.port) +
                               QStringLiteral("  (holds=0 ka=1 rel=0)\n"));
}

TEST_F(SendInhibit, FailedSendLogsThenReportsAndUsesUpItsNumber)
{
    // Port 0 cannot be sent to: the socket reports a failure.
    sender.port = 0;
    send_inhibit(sender, true, 600, false, nullptr);
    const QStringList lines = log.split('\n');
    ASSERT_EQ(lines.size(), 3) << log.toStdString();
    EXPECT_EQ(lines[0].mid(12),
              QStringLiteral("  HOLD  ttl_ms=600  -> 127.0.0.1:0  (holds=1 ka=0 rel=0)"));
    EXPECT_EQ(lines[1], QStringLiteral("send failed: ") + socket.errorString());
    EXPECT_FALSE(socket.errorString().isEmpty());
    EXPECT_EQ(sender.counters.seq, 2);
    EXPECT_EQ(sender.counters.holds, 1);

    // The socket goes on working; the next datagram carries the next number.
    log.clear();
    sender.port = receiver.localPort();
    send_inhibit(sender, false, 0, false, "quit");
    const QList<QByteArray> got = received(1000);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got[0], QByteArray(R"({"tx_inhibit":1,"ttl_ms":0,"station":"TEST-KEY","band":"144","seq":2})"));
    EXPECT_FALSE(log.contains(QStringLiteral("send failed"))) << log.toStdString();
}
