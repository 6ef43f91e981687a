#pragma once
// What a fault on purpose did to a datagram, and the run's counts of them:
// plain data, told by the fault plan and reported by whoever wants it.

#include <QtGlobal>

#include "common/inhibit_kind.h"

enum class FaultType {
    Dropped,     // drop= schedule
    Lost,        // loss= draw
    Duplicated,  // value: the copy's lateness in ms, -1 when back to back
    CopySent,    // a late copy goes out; value: ms after its original
    HeldBack,    // reorder: held back behind the next datagram
    SentLate,    // reorder: the held-back datagram goes out; value: the seq it followed, -1 at a hold's end
    Corrupted,   // value: the bit flipped
    Delayed,     // logged when really sent; value: ms late as planned
    Muted,       // value: the mute time
};

struct FaultAction {
    FaultType type = FaultType::Dropped;
    InhibitKind kind = InhibitKind::Hold;
    qint64 seq = -1;
    qint64 value = -1;
};

struct FaultCounts {
    qint64 dropped = 0;     // drop= and loss=
    qint64 duplicated = 0;
    qint64 reordered = 0;
    qint64 corrupted = 0;
    qint64 delayed = 0;
    qint64 muted = 0;       // holds muted
};
