#pragma once
// The few hamlib calls the programs make, behind plain functions. Every call
// but list_rig_models may block for a CAT round trip or a TCP timeout: call
// them from a thread that may wait (start-up, or the PTT poller's thread).
//
// hamlib caches get_ptt; open_rig sets the PTT cache timeout to 0, so every
// read_ptt asks the rig (or the rigctld) again.

#include <QString>

#include <vector>

#include "rig/rig_address.h"

struct RigHandle;  // an open rig (hamlib's RIG)

// Opens the rig at address; nullptr with error when it cannot. hamlib's own
// debug output is silenced: failures come back as error texts.
RigHandle* open_rig(const RigAddress& address, QString& error);

// The PTT now: true with on set, or false with error.
bool read_ptt(RigHandle* rig, bool& on, QString& error);

void close_rig(RigHandle* rig);

struct RigModel {
    int model = 0;
    QString maker;
    QString name;
    QString status;  // "Stable", "Beta", ...
};

// Every model hamlib knows, by model number; false with error when hamlib
// cannot be loaded.
bool list_rig_models(std::vector<RigModel>& models, QString& error);
