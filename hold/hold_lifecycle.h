#pragma once
// A hold: opened once by start_hold, kept alive every 200 ms, closed once by
// release_hold. The keepalive timer runs exactly while hold_active is true.

#include <QtGlobal>

class QTimer;
struct InhibitSender;

constexpr int KEEPALIVE_INTERVAL_MS = 200;

struct Hold {
    InhibitSender* sender = nullptr;
    QTimer* keepalive_timer = nullptr;  // 200 ms, repeating, precise
    int ttl_ms = 600;
    bool hold_active = false;
    qint64 hang_deadline_ms = -1;       // -1: no hang running
};

// Sets up the keepalive timer (interval, precise timer type, repeating).
void configure_keepalive_timer(QTimer& timer);

void start_hold(Hold& hold);
void release_hold(Hold& hold, const char* note);
void keepalive_tick(Hold& hold);
