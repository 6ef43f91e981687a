#pragma once
// Plays one scenario's schedule to the station: fresh sockets for each
// scenario (a new stream), every datagram stamped on the monotonic clock as it
// leaves. Driven by the event loop (a precise timer), so the watch's samples
// and the output keep flowing while it plays.

#include <QHostAddress>
#include <QtGlobal>

#include <functional>
#include <vector>

#include "conform/model.h"
#include "conform/scenarios.h"

class QTimer;
class QUdpSocket;

struct ScenarioSender {
    QHostAddress station;
    quint16 station_port = 0;
    const Scenario* scenario = nullptr;
    qint64 start_ms = 0;                       // monotonic
    QUdpSocket* sockets[SOURCE_COUNT] = {};
    quint16 ports[SOURCE_COUNT] = {};
    size_t next = 0;                           // the next send in the schedule
    std::vector<SentRecord> sent;
    QString error;                             // a socket that could not be opened
    QTimer* timer = nullptr;
    std::function<void(const SentRecord&)> on_sent;  // the waveform
    std::function<void()> on_done;             // the schedule is played
};

// Opens the sockets and starts playing at start_ms; false (with error) when a
// socket cannot be opened.
bool start_scenario(ScenarioSender& sender, const Scenario& scenario, qint64 start_ms);
// Closes the sockets (once the scenario is over).
void stop_scenario(ScenarioSender& sender);
