#include "rig/hamlib_rig.h"

#include <hamlib/rig.h>

#include <clocale>

#include <algorithm>
#include <mutex>

struct RigHandle {
    RIG* rig = nullptr;
};

namespace {

// hamlib 4.5 keeps the name setlocale(LC_NUMERIC, NULL) returns, switches
// to "C" and back to that name: but switching frees the name it kept (a use
// after free, seen under AddressSanitizer). With LC_NUMERIC already "C" the
// name is the C library's constant and is never freed. The programs format
// numbers through Qt, which does not look at LC_NUMERIC.
void quiet_hamlib()
{
    static std::once_flag once;
    std::call_once(once, [] {
        setlocale(LC_NUMERIC, "C");
        rig_set_debug(RIG_DEBUG_NONE);
    });
}

// rigerror() also carries hamlib's recent debug lines; the message alone.
QString hamlib_error(int code)
{
    return QString::fromLocal8Bit(rigerror2(code)).trimmed();
}

bool set_conf(RIG* rig, const QString& name, const QString& value, QString& error)
{
    const token_t token = rig_token_lookup(rig, name.toUtf8().constData());
    if (token == RIG_CONF_END) {
        error = QStringLiteral("the rig has no setting '%1'").arg(name);
        return false;
    }
    const int code = rig_set_conf(rig, token, value.toUtf8().constData());
    if (code != RIG_OK) {
        error = QStringLiteral("%1=%2: %3").arg(name, value, hamlib_error(code));
        return false;
    }
    return true;
}

int collect_model(const struct rig_caps* caps, rig_ptr_t data)
{
    auto* models = static_cast<std::vector<RigModel>*>(data);
    RigModel m;
    m.model = static_cast<int>(caps->rig_model);
    m.maker = QString::fromLatin1(caps->mfg_name);
    m.name = QString::fromLatin1(caps->model_name);
    m.status = QString::fromLatin1(rig_strstatus(caps->status));
    models->push_back(m);
    return 1;  // go on
}

}  // namespace

RigHandle* open_rig(const RigAddress& address, QString& error)
{
    quiet_hamlib();
    RIG* rig = rig_init(static_cast<rig_model_t>(address.model));
    if (!rig) {
        error = QStringLiteral("hamlib has no rig model %1 (keyline-station --list-rigs lists them)").arg(address.model);
        return nullptr;
    }
    bool ok = set_conf(rig, QStringLiteral("rig_pathname"), address.device, error);
    for (const auto& setting : address.settings)
        ok = ok && set_conf(rig, setting.first, setting.second, error);
    if (!ok) {
        rig_cleanup(rig);
        return nullptr;
    }
    const int code = rig_open(rig);
    if (code != RIG_OK) {
        error = hamlib_error(code);
        rig_cleanup(rig);
        return nullptr;
    }
    // A cached PTT could be older than a poll: every read goes to the rig.
    rig_set_cache_timeout_ms(rig, HAMLIB_CACHE_PTT, 0);
    auto* handle = new RigHandle;
    handle->rig = rig;
    return handle;
}

bool read_ptt(RigHandle* rig, bool& on, QString& error)
{
    ptt_t ptt = RIG_PTT_OFF;
    const int code = rig_get_ptt(rig->rig, RIG_VFO_CURR, &ptt);
    if (code != RIG_OK) {
        error = hamlib_error(code);
        return false;
    }
    on = ptt != RIG_PTT_OFF;
    return true;
}

void close_rig(RigHandle* rig)
{
    if (!rig)
        return;
    rig_close(rig->rig);
    rig_cleanup(rig->rig);
    delete rig;
}

std::vector<RigModel> list_rig_models()
{
    quiet_hamlib();
    rig_load_all_backends();
    std::vector<RigModel> models;
    rig_list_foreach(collect_model, &models);
    std::sort(models.begin(), models.end(),
              [](const RigModel& a, const RigModel& b) { return a.model < b.model; });
    return models;
}
