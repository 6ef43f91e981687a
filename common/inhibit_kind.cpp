#include "common/inhibit_kind.h"

InhibitKind inhibit_kind(int ttl_ms, bool keepalive)
{
    if (ttl_ms == 0)
        return InhibitKind::Release;
    return keepalive ? InhibitKind::Keepalive : InhibitKind::Hold;
}

const char* inhibit_label(InhibitKind kind)
{
    switch (kind) {
    case InhibitKind::Hold: return "HOLD";
    case InhibitKind::Keepalive: return "KEEPALIVE";
    case InhibitKind::Release: return "RELEASE";
    }
    return "";
}

const char* inhibit_event_name(InhibitKind kind)
{
    switch (kind) {
    case InhibitKind::Hold: return "hold";
    case InhibitKind::Keepalive: return "keepalive";
    case InhibitKind::Release: return "release";
    }
    return "";
}
