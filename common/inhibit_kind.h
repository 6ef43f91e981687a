#pragma once
// The three kinds of inhibit datagram, known to the sender, the faults and
// whoever reports them.

enum class InhibitKind { Hold, Keepalive, Release };

InhibitKind inhibit_kind(int ttl_ms, bool keepalive);
const char* inhibit_label(InhibitKind kind);       // "HOLD", "KEEPALIVE", "RELEASE"
const char* inhibit_event_name(InhibitKind kind);  // "hold", "keepalive", "release"
