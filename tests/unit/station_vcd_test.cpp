// keyline-station's waveform grows with time, not with the datagrams: marks
// of one wire stamped in the same millisecond share one pulse.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include "report/station_vcd.h"

TEST(StationVcd, MarksOfOneWireInOneMillisecondShareAPulse)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("run.vcd"));
    StationVcd vcd;
    QString error;
    ASSERT_TRUE(open_station_vcd(vcd, path, QDateTime::currentDateTime(), 1000, {}, &error))
        << error.toStdString();
    StationEvents events;
    for (qint64 at_ms : {1005, 1006}) {
        for (int i = 0; i < 1000; ++i) {
            StationEvent e;
            e.kind = EventKind::Keepalive;
            e.from = QStringLiteral("127.0.0.1:40000");
            e.at_ms = at_ms;
            events.push_back(e);
        }
    }
    station_vcd_events(vcd, events);
    close_station_vcd(vcd, 1010);

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    char id[3];
    vcd_id(STREAM_WIRE_ARRIVAL, id);  // s0_arrival
    int rises = 0;
    for (const QByteArray& line : text.split('\n'))
        rises += line == QByteArray("1") + QByteArray(id);
    EXPECT_EQ(rises, 2);  // one per millisecond, not one per datagram
    EXPECT_TRUE(text.contains("in the same ms share one pulse"));
}
