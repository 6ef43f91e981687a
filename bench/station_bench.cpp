// Parse-and-track speed of keyline-station: the work done for each received
// datagram (payload check, stream tracking, malformed counting and limiting),
// on one core, beside a bare QJsonDocument parse of the same valid payload
// with its fields read, measured in the same run.

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "station/reception.h"

namespace {

constexpr double TARGET_VALID_PER_S = 1000000.0;
constexpr qint64 T0 = 1700000000000LL;

QByteArray valid_payload(qint64 seq, int ttl_ms)
{
    return "{\"tx_inhibit\":1,\"ttl_ms\":" + QByteArray::number(ttl_ms) +
           ",\"station\":\"TEST-KEY\",\"band\":\"144\",\"seq\":" + QByteArray::number(seq) + "}";
}

// Runs body(i) for i = 0.. until about `seconds` have passed; best of rounds.
double per_second(const std::function<void(qint64)>& body, double seconds = 0.6, int rounds = 3)
{
    double best = 0;
    qint64 i = 0;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer clock;
        clock.start();
        qint64 n = 0;
        while (true) {
            for (int k = 0; k < 1000; ++k)
                body(i++);
            n += 1000;
            if (clock.nsecsElapsed() >= seconds * 1e9)
                break;
        }
        best = qMax(best, n / (clock.nsecsElapsed() / 1e9));
    }
    return best;
}

std::vector<QByteArray> malformed_payloads()
{
    QRandomGenerator rng(11);
    std::vector<QByteArray> list;
    for (int i = 0; i < 8; ++i) {
        QByteArray noise(16 + i * 40, '\0');
        for (char& c : noise)
            c = static_cast<char>(rng.bounded(256));
        list.push_back(noise);
    }
    list.push_back(QByteArray(65507, 'x'));                           // huge
    list.push_back(QByteArray(1000, '[') + QByteArray(1000, ']'));     // deep
    for (const char* v : {"0", "true", "\"1\"", "1.0"})
        list.push_back(QByteArray("{\"tx_inhibit\":") + v +
                       ",\"ttl_ms\":600,\"station\":\"S\",\"band\":\"b\",\"seq\":1}");
    for (const char* v : {"-1", "6e2", "\"600\"", "2147483648"})
        list.push_back(QByteArray("{\"tx_inhibit\":1,\"ttl_ms\":") + v +
                       ",\"station\":\"S\",\"band\":\"b\",\"seq\":1}");
    list.push_back("{\"tx_inhibit\":1,\"ttl_ms\":600,\"station\":5,\"band\":\"b\",\"seq\":1}");
    list.push_back("{\"tx_inhibit\":1,\"ttl_ms\":600,\"station\":\"S\",\"band\":\"b\",\"seq\":0}");
    list.push_back("{\"tx_inhibit\":1,\"ttl_ms\":600,\"station\":\"S\",\"band\":\"b\"}");
    list.push_back("[1,2,3]");
    return list;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const SenderId sender = sender_id(QHostAddress(QStringLiteral("127.0.0.1")), 40000);

    // Valid payloads made beforehand: one long hold of one stream.
    const int kinds = 4096;
    std::vector<QByteArray> valid;
    for (int i = 0; i < kinds; ++i)
        valid.push_back(valid_payload(i + 1, 600));

    // Reference: a bare parse of one payload with its fields read.
    volatile qint64 sink = 0;
    const double reference = per_second([&](qint64 i) {
        const QByteArray& p = valid[i % kinds];
        const QJsonObject o = QJsonDocument::fromJson(p).object();
        sink = sink + o.value(QLatin1String("tx_inhibit")).toInt() + o.value(QLatin1String("ttl_ms")).toInt() +
               o.value(QLatin1String("seq")).toVariant().toLongLong() +
               o.value(QLatin1String("station")).toString().size() + o.value(QLatin1String("band")).toString().size();
    });

    // The check alone, then check and track. The seq keeps rising across
    // the whole run, so every datagram is an in-order keepalive.
    const double check_only = per_second([&](qint64 i) {
        const QByteArray& p = valid[i % kinds];
        sink = sink + check_payload(p.constData(), p.size()).fields.seq;
    });

    Station station;
    StationEvents events;
    events.reserve(16);
    // A fresh seq for every datagram, written into one buffer as a sender
    // would (a few ns of the figure), so every datagram is an in-order
    // keepalive of one long hold.
    const QByteArray prefix = "{\"tx_inhibit\":1,\"ttl_ms\":600,\"station\":\"TEST-KEY\",\"band\":\"144\",\"seq\":";
    char datagram[128];
    std::memcpy(datagram, prefix.constData(), prefix.size());
    qint64 seq = 0;
    const double tracked = per_second([&](qint64) {
        ++seq;
        char digits[24];
        int n = 0;
        for (qint64 v = seq; v > 0; v /= 10)
            digits[n++] = static_cast<char>('0' + v % 10);
        int size = prefix.size();
        while (n > 0)
            datagram[size++] = digits[--n];
        datagram[size++] = '}';
        receive_payload(station, sender, T0 + seq / 1000, datagram, size, events);
        events.clear();
    });

    const std::vector<QByteArray> bad = malformed_payloads();
    std::vector<SenderId> ports;
    for (int p = 0; p < 10000; ++p)
        ports.push_back(sender_id(QHostAddress(QStringLiteral("127.0.0.1")), static_cast<quint16>(20000 + p)));
    Station flooded;
    const double malformed = per_second([&](qint64 i) {
        const QByteArray& p = bad[i % bad.size()];
        receive_payload(flooded, ports[i % ports.size()], T0 + i / 100, p.constData(), p.size(), events);
        events.clear();
    });

    Station one_sender;
    const double malformed_one = per_second([&](qint64 i) {
        const QByteArray& p = bad[i % bad.size()];
        receive_payload(one_sender, sender, T0 + i / 100, p.constData(), p.size(), events);
        events.clear();
    });

    const bool met = tracked >= TARGET_VALID_PER_S;
    std::printf("keyline-station parse-and-track, one core (datagrams per second, best of 3 rounds of 0.6 s)\n");
    std::printf("  reference: bare QJsonDocument parse + fields read   %9.0f /s  (%.2f us each)\n", reference,
                1e6 / reference);
    std::printf("  payload check alone (valid)                        %9.0f /s  (%.2f us each)\n", check_only,
                1e6 / check_only);
    std::printf("  check + track, valid keepalives of one hold        %9.0f /s  (%.2f us each; %.2f x the reference's time)\n",
                tracked, 1e6 / tracked, reference / tracked);
    std::printf("  check + count + limit, malformed mix (10000 ports) %9.0f /s  (%.2f us each; %zu kinds incl. 65507 B and 1000-deep)\n",
                malformed, 1e6 / malformed, bad.size());
    std::printf("  the same malformed mix from one sender               %9.0f /s  (%.2f us each)\n",
                malformed_one, 1e6 / malformed_one);
    std::printf("  target valid >= %.0f /s: %s\n", TARGET_VALID_PER_S, met ? "met" : "MISSED");
    std::printf("  (tracked %lld keepalives, %lld malformed, %zu limiter entries)\n",
                static_cast<long long>(station.table.streams.begin()->second.keepalives),
                static_cast<long long>(flooded.table.malformed), flooded.limiter.senders.size());
    return 0;
}
