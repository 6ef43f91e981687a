#include "rig/hamlib_library.h"

#include <dlfcn.h>

#include <mutex>

namespace {

constexpr const char* LIBRARY = "libhamlib.so.4";

template <typename F>
bool find(void* library, const char* name, F& out, QString& missing)
{
    out = reinterpret_cast<F>(dlsym(library, name));
    if (!out && missing.isEmpty())
        missing = QString::fromLatin1(name);
    return out != nullptr;
}

struct Loaded {
    HamlibApi api = {};
    bool ok = false;
    QString error;
};

Loaded load()
{
    Loaded l;
    void* library = dlopen(LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        l.error = QStringLiteral("hamlib (%1) cannot be loaded: %2")
                      .arg(QString::fromLatin1(LIBRARY), QString::fromLocal8Bit(dlerror()));
        return l;
    }
    QString missing;
    HamlibApi& a = l.api;
    find(library, "rig_init", a.init, missing);
    find(library, "rig_open", a.open, missing);
    find(library, "rig_close", a.close, missing);
    find(library, "rig_cleanup", a.cleanup, missing);
    find(library, "rig_get_ptt", a.get_ptt, missing);
    find(library, "rig_set_conf", a.set_conf, missing);
    find(library, "rig_token_lookup", a.token_lookup, missing);
    find(library, "rig_set_cache_timeout_ms", a.set_cache_timeout_ms, missing);
    find(library, "rig_set_debug", a.set_debug, missing);
    find(library, "rig_load_all_backends", a.load_all_backends, missing);
    find(library, "rig_list_foreach", a.list_foreach, missing);
    find(library, "rig_strstatus", a.strstatus, missing);
    find(library, "rigerror2", a.error2, missing);
    if (!missing.isEmpty()) {
        // Kept loaded: a library once opened is never unloaded here.
        l.error = QStringLiteral("hamlib (%1) has no %2: hamlib 4.5 or later is needed")
                      .arg(QString::fromLatin1(LIBRARY), missing);
        return l;
    }
    l.ok = true;
    return l;
}

}  // namespace

const HamlibApi* hamlib_api(QString& error)
{
    static std::once_flag once;
    static Loaded loaded;
    std::call_once(once, [] { loaded = load(); });
    if (!loaded.ok) {
        error = loaded.error;
        return nullptr;
    }
    return &loaded.api;
}
