#pragma once
// What a correct station holds, as keyline-station's own reception computes
// it: the datagrams sent are fed to its stream table at their send times, and
// the station must be inhibited while any stream holds.

#include <QByteArray>
#include <QtGlobal>

#include <vector>

#include "station/sender_id.h"

// One datagram as it left (or, planned, will leave) a socket.
struct SentDatagram {
    qint64 at_ms = 0;
    SenderId from;
    const QByteArray* payload = nullptr;  // valid while the model is computed
    int copies = 1;
};

// One scheduled datagram (or back-to-back burst) as it really left.
struct SentRecord {
    qint64 at_ms = 0;         // monotonic
    int send_index = 0;       // into the scenario's sends
    quint16 source_port = 0;
    int sent = 0;             // copies the socket took
};

// The model's inhibit: from start_ms to end_ms (end_ms -1: still at the end).
struct ModelSpan {
    qint64 start_ms = 0;
    qint64 end_ms = -1;
};

// The inhibit over the datagrams (in time order), with every expiry due by
// end_ms taken; a span still holding at end_ms ends -1.
std::vector<ModelSpan> model_inhibit(const std::vector<SentDatagram>& sent, qint64 end_ms);

// True when the model holds at t_ms.
bool model_holds(const std::vector<ModelSpan>& spans, qint64 t_ms);
