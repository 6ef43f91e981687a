#include "rig/hamlib_rig.h"

#include "rig/hamlib_library.h"

#include <clocale>

#include <algorithm>
#include <mutex>

struct RigHandle {
    RIG* rig = nullptr;
    const HamlibApi* api = nullptr;
};

namespace {

// hamlib 4.5 keeps the name setlocale(LC_NUMERIC, NULL) returns, switches
// to "C" and back to that name: but switching frees the name it kept (a use
// after free, seen under AddressSanitizer). With LC_NUMERIC already "C" the
// name is the C library's constant and is never freed. The programs format
// numbers through Qt, which does not look at LC_NUMERIC.
const HamlibApi* quiet_hamlib(QString& error)
{
    const HamlibApi* api = hamlib_api(error);
    if (!api)
        return nullptr;
    static std::once_flag once;
    std::call_once(once, [api] {
        setlocale(LC_NUMERIC, "C");
        api->set_debug(RIG_DEBUG_NONE);
    });
    return api;
}

// rigerror() also carries hamlib's recent debug lines; the message alone.
QString hamlib_error(const HamlibApi* api, int code)
{
    return QString::fromLocal8Bit(api->error2(code)).trimmed();
}

bool set_conf(const HamlibApi* api, RIG* rig, const QString& name, const QString& value, QString& error)
{
    const token_t token = api->token_lookup(rig, name.toUtf8().constData());
    if (token == RIG_CONF_END) {
        error = QStringLiteral("the rig has no setting '%1'").arg(name);
        return false;
    }
    const int code = api->set_conf(rig, token, value.toUtf8().constData());
    if (code != RIG_OK) {
        error = QStringLiteral("%1=%2: %3").arg(name, value, hamlib_error(api, code));
        return false;
    }
    return true;
}

struct Collected {
    const HamlibApi* api = nullptr;
    std::vector<RigModel> models;
};

int collect_model(const struct rig_caps* caps, rig_ptr_t data)
{
    auto* collected = static_cast<Collected*>(data);
    RigModel m;
    m.model = static_cast<int>(caps->rig_model);
    m.maker = QString::fromLatin1(caps->mfg_name);
    m.name = QString::fromLatin1(caps->model_name);
    m.status = QString::fromLatin1(collected->api->strstatus(caps->status));
    collected->models.push_back(m);
    return 1;  // go on
}

}  // namespace

RigHandle* open_rig(const RigAddress& address, QString& error)
{
    const HamlibApi* api = quiet_hamlib(error);
    if (!api)
        return nullptr;
    RIG* rig = api->init(static_cast<rig_model_t>(address.model));
    if (!rig) {
        error = QStringLiteral("hamlib has no rig model %1 (keyline-station --list-rigs lists them)").arg(address.model);
        return nullptr;
    }
    bool ok = set_conf(api, rig, QStringLiteral("rig_pathname"), address.device, error);
    for (const auto& setting : address.settings)
        ok = ok && set_conf(api, rig, setting.first, setting.second, error);
    if (!ok) {
        api->cleanup(rig);
        return nullptr;
    }
    const int code = api->open(rig);
    if (code != RIG_OK) {
        error = hamlib_error(api, code);
        api->cleanup(rig);
        return nullptr;
    }
    // A cached PTT could be older than a poll: every read goes to the rig.
    api->set_cache_timeout_ms(rig, HAMLIB_CACHE_PTT, 0);
    auto* handle = new RigHandle;
    handle->rig = rig;
    handle->api = api;
    return handle;
}

bool read_ptt(RigHandle* rig, bool& on, QString& error)
{
    ptt_t ptt = RIG_PTT_OFF;
    const int code = rig->api->get_ptt(rig->rig, RIG_VFO_CURR, &ptt);
    if (code != RIG_OK) {
        error = hamlib_error(rig->api, code);
        return false;
    }
    on = ptt != RIG_PTT_OFF;
    return true;
}

void close_rig(RigHandle* rig)
{
    if (!rig)
        return;
    rig->api->close(rig->rig);
    rig->api->cleanup(rig->rig);
    delete rig;
}

bool list_rig_models(std::vector<RigModel>& models, QString& error)
{
    Collected collected;
    collected.api = quiet_hamlib(error);
    if (!collected.api)
        return false;
    collected.api->load_all_backends();
    collected.api->list_foreach(collect_model, &collected);
    models = std::move(collected.models);
    std::sort(models.begin(), models.end(),
              [](const RigModel& a, const RigModel& b) { return a.model < b.model; });
    return true;
}
