#pragma once
// hamlib, loaded when a rig is first used rather than at start: with its
// own dependencies (libusb, INDI, ...) it adds megabytes to every run,
// though most runs never talk to a rig.

#include <hamlib/rig.h>

#include <QString>

struct HamlibApi {
    decltype(&::rig_init) init;
    decltype(&::rig_open) open;
    decltype(&::rig_close) close;
    decltype(&::rig_cleanup) cleanup;
    decltype(&::rig_get_ptt) get_ptt;
    decltype(&::rig_set_conf) set_conf;
    decltype(&::rig_token_lookup) token_lookup;
    decltype(&::rig_set_cache_timeout_ms) set_cache_timeout_ms;
    decltype(&::rig_set_debug) set_debug;
    decltype(&::rig_load_all_backends) load_all_backends;
    decltype(&::rig_list_foreach) list_foreach;
    decltype(&::rig_strstatus) strstatus;
    decltype(&::rigerror2) error2;
};

// hamlib's calls, loaded once (thread-safe); nullptr with error when the
// library or one of its calls cannot be found.
const HamlibApi* hamlib_api(QString& error);
