// A hold in a real event loop: HOLD, KEEPALIVEs every 200 ms, RELEASE, sent
// to a UDP receiver on loopback.

#include <gtest/gtest.h>

#include "qt_test_app.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include "bench_test_events.h"
#include <QTimer>
#include <QUdpSocket>

#include <functional>

#include "hold/hold_lifecycle.h"
#include "hold/inhibit_payload.h"
#include "hold/inhibit_sender.h"

namespace {

struct Arrival {
    qint64 at_ms;  // on the test's clock
    int ttl_ms;
    qint64 seq;
};

class HoldLifecycle : public ::testing::Test {
protected:
    static void SetUpTestSuite() { qt_test_app(); }

    // Binds the receiver and points the sender at it.
    bool set_up_on(const QHostAddress& loopback, const QString& host_text)
    {
        if (!receiver.bind(loopback, 0))
            return false;
        QObject::connect(&receiver, &QUdpSocket::readyRead, [this] { drain(); });
        sender.socket = &socket;
        sender.address = loopback;
        sender.host_text = host_text;
        sender.port = receiver.localPort();
        sender.station_body = json_string_body(QStringLiteral("TEST-KEY"));
        sender.band_body = json_string_body(QStringLiteral("144"));
        sender.events = log_events.attach(&out, &err);
        configure_keepalive_timer(timer);
        QObject::connect(&timer, &QTimer::timeout, [this] { keepalive_tick(hold); });
        hold.sender = &sender;
        hold.keepalive_timer = &timer;
        clock.start();
        return true;
    }

    void drain()
    {
        while (receiver.hasPendingDatagrams()) {
            QByteArray d(int(receiver.pendingDatagramSize()), '\0');
            receiver.readDatagram(d.data(), d.size());
            const QJsonObject o = QJsonDocument::fromJson(d).object();
            ASSERT_TRUE(o.contains("ttl_ms") && o.contains("seq")) << d.toStdString();
            arrivals.append({clock.elapsed(), o.value("ttl_ms").toInt(-1),
                             qint64(o.value("seq").toDouble(-1))});
        }
    }

    static void run_for(int ms)
    {
        QEventLoop loop;
        QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }

    static void at(int ms, std::function<void()> action)
    {
        QTimer::singleShot(ms, Qt::PreciseTimer, std::move(action));
    }

    // The hold's invariant: the timer runs exactly while a hold is active.
    void expect_invariant() const { EXPECT_EQ(timer.isActive(), hold.hold_active); }

    QStringList log_lines() const
    {
        QStringList lines = log.split('\n');
        EXPECT_TRUE(lines.last().isEmpty()) << "log does not end in a line feed";
        lines.removeLast();
        return lines;
    }

    // Intervals between consecutive arrivals [first, last].
    void expect_keepalive_rhythm(int first, int last)
    {
        ASSERT_GT(last, first);
        for (int i = first + 1; i <= last; ++i) {
            const qint64 gap = arrivals[i].at_ms - arrivals[i - 1].at_ms;
            EXPECT_GE(gap, 150) << "datagram " << i;
            EXPECT_LE(gap, 300) << "datagram " << i;
        }
        const double mean =
            double(arrivals[last].at_ms - arrivals[first].at_ms) / double(last - first);
        EXPECT_GE(mean, 190.0);
        EXPECT_LE(mean, 215.0);
    }

    QUdpSocket receiver;
    QUdpSocket socket;
    QString log;
    QTextStream out{&log};
    QTextStream err{&log};  // same text, so a failure line's place is visible
    TestEvents log_events;
    InhibitSender sender;
    QTimer timer;
    Hold hold;
    QElapsedTimer clock;
    QList<Arrival> arrivals;
};

}  // namespace

TEST_F(HoldLifecycle, KeepaliveTimerIsPreciseRepeating200)
{
    QTimer t;
    configure_keepalive_timer(t);
    EXPECT_EQ(t.interval(), 200);
    EXPECT_EQ(t.timerType(), Qt::PreciseTimer);
    EXPECT_FALSE(t.isSingleShot());
    EXPECT_FALSE(t.isActive());
}

TEST_F(HoldLifecycle, FullHoldOnIpv4)
{
    ASSERT_TRUE(set_up_on(QHostAddress::LocalHost, QStringLiteral("127.0.0.1")));
    log_events.text.verbose_keepalive = true;
    hold.ttl_ms = 600;

    start_hold(hold);
    EXPECT_TRUE(hold.hold_active);
    expect_invariant();

    // A second start in mid-interval neither sends nor restarts the rhythm.
    int remaining_before = -1, remaining_after = -1;
    at(1100, [&] {
        remaining_before = timer.remainingTime();
        start_hold(hold);
        remaining_after = timer.remainingTime();
    });
    qint64 released_at = -1;
    at(2050, [&] {
        release_hold(hold, "x");
        released_at = clock.elapsed();
    });
    run_for(2650);  // ends 600 ms after the release

    ASSERT_GE(released_at, 0);
    EXPECT_GE(clock.elapsed() - released_at, 500);
    EXPECT_FALSE(hold.hold_active);
    expect_invariant();
    EXPECT_GE(remaining_before, 0);
    EXPECT_LE(remaining_after, remaining_before + 1);
    EXPECT_LT(remaining_after, 190);

    // HOLD, about ten KEEPALIVEs, RELEASE; nothing after the RELEASE.
    ASSERT_GE(arrivals.size(), 2 + 8) << "too few datagrams";
    ASSERT_LE(arrivals.size(), 2 + 11) << "too many datagrams";
    const int n = arrivals.size();
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(arrivals[i].seq, i + 1) << "datagram " << i;
    EXPECT_EQ(arrivals[0].ttl_ms, 600);
    for (int i = 1; i < n - 1; ++i)
        EXPECT_EQ(arrivals[i].ttl_ms, 600) << "datagram " << i;
    EXPECT_EQ(arrivals[n - 1].ttl_ms, 0);
    EXPECT_LE(arrivals[n - 1].at_ms, released_at + 50);
    expect_keepalive_rhythm(0, n - 2);

    EXPECT_EQ(sender.counters.holds, 1);
    EXPECT_EQ(sender.counters.ka, n - 2);
    EXPECT_EQ(sender.counters.rel, 1);
    EXPECT_EQ(sender.counters.seq, n + 1);

    const QStringList lines = log_lines();
    ASSERT_EQ(lines.size(), n);
    const QString port = QString::number(sender.port);
    EXPECT_EQ(lines[0].mid(12), QStringLiteral("  HOLD  ttl_ms=600  -> 127.0.0.1:") + port +
                                    QStringLiteral("  (holds=1 ka=0 rel=0)"));
    for (int i = 1; i < n - 1; ++i)
        EXPECT_TRUE(lines[i].mid(12).startsWith(QStringLiteral("  KEEPALIVE  ttl_ms=600  -> ")))
            << lines[i].toStdString();
    EXPECT_EQ(lines[n - 1].mid(12), QStringLiteral("  RELEASE  ttl_ms=0  -> 127.0.0.1:") + port +
                                        QStringLiteral("  (holds=1 ka=%1 rel=1)  (x)").arg(n - 2));
}

TEST_F(HoldLifecycle, NewHoldAfterReleaseStartsAfresh)
{
    ASSERT_TRUE(set_up_on(QHostAddress::LocalHost, QStringLiteral("127.0.0.1")));
    hold.ttl_ms = 600;

    start_hold(hold);
    at(300, [&] { release_hold(hold, "quit"); });
    at(400, [&] { start_hold(hold); });
    at(1050, [&] { release_hold(hold, ""); });
    run_for(1150);

    // HOLD, KA, RELEASE, HOLD, 3 KAs, RELEASE; the second rhythm counts from
    // the second HOLD.
    ASSERT_EQ(arrivals.size(), 8);
    const int ttls[] = {600, 600, 0, 600, 600, 600, 600, 0};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(arrivals[i].seq, i + 1);
        EXPECT_EQ(arrivals[i].ttl_ms, ttls[i]) << "datagram " << i;
    }
    expect_keepalive_rhythm(3, 6);
    EXPECT_EQ(sender.counters.holds, 2);
    EXPECT_EQ(sender.counters.rel, 2);
    expect_invariant();

    // Quiet keepalives; an empty note prints no suffix.
    const QStringList lines = log_lines();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("(holds=1 ka=1 rel=1)  (quit)")));
    EXPECT_TRUE(lines[3].endsWith(QStringLiteral("(holds=2 ka=4 rel=2)")));
}

TEST_F(HoldLifecycle, ReleaseWhileIdleOnlyClearsTheDeadline)
{
    ASSERT_TRUE(set_up_on(QHostAddress::LocalHost, QStringLiteral("127.0.0.1")));
    hold.hang_deadline_ms = 1700000000123;
    release_hold(hold, "quit");
    EXPECT_EQ(hold.hang_deadline_ms, -1);
    keepalive_tick(hold);  // a stray tick while idle
    run_for(300);
    EXPECT_TRUE(arrivals.isEmpty());
    EXPECT_TRUE(log.isEmpty()) << log.toStdString();
    EXPECT_EQ(sender.counters.seq, 1);
    EXPECT_FALSE(hold.hold_active);
    expect_invariant();

    // During a hang the release clears the deadline too.
    start_hold(hold);
    hold.hang_deadline_ms = 1700000000456;
    release_hold(hold, "hang done / EOT");
    EXPECT_EQ(hold.hang_deadline_ms, -1);
    run_for(100);
    ASSERT_EQ(arrivals.size(), 2);
    EXPECT_EQ(arrivals[1].ttl_ms, 0);
}

TEST_F(HoldLifecycle, QuietKeepalivesStillCount)
{
    ASSERT_TRUE(set_up_on(QHostAddress::LocalHost, QStringLiteral("127.0.0.1")));
    log_events.text.verbose_keepalive = false;
    start_hold(hold);
    at(650, [&] { release_hold(hold, "hang done / EOT"); });
    run_for(750);

    ASSERT_GE(arrivals.size(), 4);  // HOLD, at least two KEEPALIVEs, RELEASE
    const int ka = arrivals.size() - 2;
    EXPECT_EQ(arrivals.last().seq, ka + 2);
    const QStringList lines = log_lines();
    ASSERT_EQ(lines.size(), 2) << log.toStdString();
    EXPECT_TRUE(lines[0].mid(12).startsWith(QStringLiteral("  HOLD  ")));
    EXPECT_TRUE(lines[1].endsWith(
        QStringLiteral("  (holds=1 ka=%1 rel=1)  (hang done / EOT)").arg(ka)))
        << lines[1].toStdString();
}

TEST_F(HoldLifecycle, FailedSendsAreReportedAndTheHoldGoesOn)
{
    ASSERT_TRUE(set_up_on(QHostAddress::LocalHost, QStringLiteral("127.0.0.1")));
    log_events.text.verbose_keepalive = true;
    const quint16 good_port = sender.port;
    sender.port = 0;  // the socket refuses to send to port 0

    start_hold(hold);
    EXPECT_TRUE(hold.hold_active);
    // After two failed keepalives the way opens; the next one gets through.
    at(500, [&] { sender.port = good_port; });
    at(750, [&] { release_hold(hold, "quit"); });
    run_for(850);

    const QStringList lines = log_lines();
    ASSERT_EQ(lines.size(), 3 * 2 + 2) << log.toStdString();
    const QString failed = QStringLiteral("send failed: ") + socket.errorString();
    EXPECT_FALSE(socket.errorString().isEmpty());
    EXPECT_EQ(lines[0].mid(12),
              QStringLiteral("  HOLD  ttl_ms=600  -> 127.0.0.1:0  (holds=1 ka=0 rel=0)"));
    EXPECT_EQ(lines[1], failed);
    EXPECT_EQ(lines[2].mid(12),
              QStringLiteral("  KEEPALIVE  ttl_ms=600  -> 127.0.0.1:0  (holds=1 ka=1 rel=0)"));
    EXPECT_EQ(lines[3], failed);
    EXPECT_EQ(lines[4].mid(12),
              QStringLiteral("  KEEPALIVE  ttl_ms=600  -> 127.0.0.1:0  (holds=1 ka=2 rel=0)"));
    EXPECT_EQ(lines[5], failed);
    EXPECT_TRUE(lines[6].mid(12).startsWith(QStringLiteral("  KEEPALIVE  ttl_ms=600")));
    EXPECT_TRUE(lines[7].mid(12).startsWith(QStringLiteral("  RELEASE  ttl_ms=0")));

    // The failed ones used up 1..3.
    ASSERT_EQ(arrivals.size(), 2);
    EXPECT_EQ(arrivals[0].seq, 4);
    EXPECT_EQ(arrivals[0].ttl_ms, 600);
    EXPECT_EQ(arrivals[1].seq, 5);
    EXPECT_EQ(arrivals[1].ttl_ms, 0);
    expect_invariant();
}

TEST_F(HoldLifecycle, HoldOnIpv6WithShortTtl)
{
    if (!set_up_on(QHostAddress::LocalHostIPv6, QStringLiteral("::1")))
        GTEST_SKIP() << "no IPv6 loopback here";
    // The keepalive rhythm is 200 ms whatever the ttl.
    hold.ttl_ms = 100;
    start_hold(hold);
    at(850, [&] { release_hold(hold, "continuous (non-break-in/SSB)"); });
    run_for(950);

    ASSERT_EQ(arrivals.size(), 6);  // HOLD, 4 KEEPALIVEs, RELEASE
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(arrivals[i].seq, i + 1);
    EXPECT_EQ(arrivals[0].ttl_ms, 100);
    EXPECT_EQ(arrivals[4].ttl_ms, 100);
    EXPECT_EQ(arrivals[5].ttl_ms, 0);
    expect_keepalive_rhythm(0, 4);

    const QStringList lines = log_lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[1].mid(12), QStringLiteral("  RELEASE  ttl_ms=0  -> ::1:") +
                                    QString::number(sender.port) +
                                    QStringLiteral("  (holds=1 ka=4 rel=1)  (continuous (non-break-in/SSB))"));
}
