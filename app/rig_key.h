#pragma once
// --key-rig wired into the run: the rig's PTT read by a poller thread that
// hands over only its changes, each to the tick as it comes (stamped with
// the first poll that saw it); a rig that stops answering
// reported, opened again every second on a thread of its own, and reported
// when it answers again. The owner thread never waits for the rig.

#include <memory>
#include <vector>

#include <QString>

#include "app/key_line_source.h"
#include "rig/ptt_poller.h"
#include "rig/rig_address.h"

class QSocketNotifier;
struct AgentOptions;
struct RigReopen;

constexpr int RIG_REOPEN_INTERVAL_MS = 1000;

struct RigKey {
    RigAddress address;
    int poll_ms = 10;
    std::unique_ptr<PttPoller> poller;  // null while the rig is lost
    std::vector<PttReading> taken;      // the readings of one wake-up
    LineReading latest;                 // what the tick reads
    QString lost_reason;
    KeyLineSource source;
    std::shared_ptr<RigReopen> reopen;  // while lost
    QSocketNotifier* readings_notifier = nullptr;
    QSocketNotifier* reopen_notifier = nullptr;
};

// Opens the rig (start-up may wait for it) and starts its poller. On failure
// returns false with "keyline-bench: --key-rig RIG: cannot open the rig: ...".
bool open_rig_key(RigKey& key, const AgentOptions& options, QString* error);

// Has the tick read the latest reading, each reading run the tick, and a
// loss be reported after a tick (wakeups.after_tick).
void connect_rig_key(RigKey& key, TickWakeups& wakeups, QObject* context);

// Stops the poller (or the reopening) and closes the rig.
void close_rig_key(RigKey& key);
