#include "app/fault_options.h"

#include <QHostAddress>

#include "app/agent_options.h"
#include "app/run_seed.h"

QString fault_option_error(const AgentOptions& options, FaultConfig* config)
{
    for (const QString& spec : options.fault_specs) {
        QString error;
        if (!add_fault_spec(*config, spec, &error))
            return error;
    }
    return QString();
}

namespace {

// "1.2.3.4:5", "[::1]:5"; false when it is not that.
bool split_host_port(const QString& text, QString* host, QString* port)
{
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QStringLiteral("]:"));
        if (close < 0)
            return false;
        *host = text.mid(1, close - 1);
        *port = text.mid(close + 2);
        return host->contains(QLatin1Char(':'));
    }
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return false;
    *host = text.left(colon);
    *port = text.mid(colon + 1);
    return !host->contains(QLatin1Char(':'));  // a bare IPv6 address is ambiguous
}

bool port_number(const QString& text, quint16* port)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    const uint value = text.toUInt();
    if (value < 1 || value > 65535)
        return false;
    *port = static_cast<quint16>(value);
    return true;
}

}  // namespace

QString also_option_error(const AgentOptions& options, std::vector<SendDestination>* destinations)
{
    if (options.also_specs.size() > MAX_ALSO_DESTINATIONS)
        return QStringLiteral("keyline-bench: --also may be given at most %1 times").arg(MAX_ALSO_DESTINATIONS);
    for (const QString& spec : options.also_specs) {
        QString host;
        QString port_text;
        SendDestination d;
        if (!split_host_port(spec, &host, &port_text) || !port_number(port_text, &d.port) ||
            !host_is_numeric_address(host))
            return QStringLiteral("keyline-bench: --also must be a numeric IPv4 address and port "
                                  "(HOST:PORT) or [IPv6]:PORT, port 1..65535: %1")
                .arg(spec);
        d.address = QHostAddress(host);
        d.text = spec;
        destinations->push_back(d);
    }
    return QString();
}

QString destinations_text(const AgentOptions& options, const std::vector<SendDestination>& also)
{
    QString text = options.host + QLatin1Char(':') + QString::number(options.port);
    for (const SendDestination& d : also)
        text += QStringLiteral(", ") + d.text;
    return text;
}

QString banner_with_faults(const QString& banner, const FaultConfig& config,
                           const std::vector<SendDestination>& also, quint64 seed)
{
    QString lines;
    if (!also.empty()) {
        QStringList names;
        for (const SendDestination& d : also)
            names << d.text;
        lines += QStringLiteral("  also -> %1  (every datagram, the same bytes)\n").arg(names.join(QStringLiteral(", ")));
    }
    if (!fault_config_empty(config))
        lines += QStringLiteral("  FAULTS: %1\n").arg(config.specs.join(QLatin1Char(' ')));
    if (fault_config_random(config))
        lines += seed_banner_line(seed);
    if (lines.isEmpty())
        return banner;
    // The banner ends with a blank line that parts it from the events.
    QString b = banner;
    if (b.endsWith(QStringLiteral("\n\n")))
        b.chop(1);
    return b + lines + QLatin1Char('\n');
}
