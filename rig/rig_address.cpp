#include "rig/rig_address.h"

#include <QStringList>

namespace {

bool is_number(const QString& text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text)
        if (!c.isDigit())
            return false;
    return true;
}

}  // namespace

bool parse_rig_address(const QString& text, RigAddress& address, QString& error)
{
    address = RigAddress();
    address.text = text;
    const int colon = text.indexOf(QLatin1Char(':'));
    if (colon <= 0 || colon == text.size() - 1) {
        error = QStringLiteral("'%1' is neither HOST:PORT nor MODEL:DEVICE").arg(text);
        return false;
    }
    const QString head = text.left(colon);
    const QString rest = text.mid(colon + 1);
    // HOST:PORT has a port number and nothing after it; a MODEL:DEVICE has
    // a model number and a device path (a path is never only digits).
    if (is_number(rest)) {
        const uint port = rest.toUInt();
        if (port == 0 || port > 65535) {
            error = QStringLiteral("'%1': port %2 is not 1..65535").arg(text, rest);
            return false;
        }
        address.model = RIG_MODEL_RIGCTLD;
        address.device = text;
        return true;
    }
    bool ok = false;
    const int model = head.toInt(&ok);
    if (!is_number(head) || !ok || model <= 0) {
        error = QStringLiteral("'%1': '%2' is not a hamlib model number (keyline-station --list-rigs lists them)").arg(text, head);
        return false;
    }
    const QStringList parts = rest.split(QLatin1Char(','));
    if (parts.first().isEmpty()) {
        error = QStringLiteral("'%1': no device after the model").arg(text);
        return false;
    }
    address.model = model;
    address.device = parts.first();
    for (int i = 1; i < parts.size(); ++i) {
        const int eq = parts[i].indexOf(QLatin1Char('='));
        if (eq <= 0) {
            error = QStringLiteral("'%1': '%2' is not NAME=VALUE").arg(text, parts[i]);
            return false;
        }
        address.settings.emplace_back(parts[i].left(eq), parts[i].mid(eq + 1));
    }
    return true;
}
