#include "app/fault_options.h"

#include <QHostAddress>

#include "app/agent_options.h"
#include "app/run_seed.h"
#include "common/host_port.h"

QString fault_option_error(const AgentOptions& options, FaultConfig* config)
{
    for (const QString& given : options.fault_texts) {
        QString error;
        if (!add_fault(*config, given, &error))
            return error;
        // A hold has one HOLD and one RELEASE: a later one never comes.
        if (!config->drops.empty() && config->drops.back().kind != InhibitKind::Keepalive &&
            config->drops.back().first > 1)
            return QStringLiteral("keyline-bench: --fault \"%1\": a hold has one %2, so only :1 can act")
                .arg(given, config->drops.back().kind == InhibitKind::Hold ? QStringLiteral("HOLD")
                                                                          : QStringLiteral("RELEASE"));
    }
    return QString();
}

QString also_option_error(const AgentOptions& options, std::vector<SendDestination>* destinations)
{
    if (options.also_texts.size() > MAX_ALSO_DESTINATIONS)
        return QStringLiteral("keyline-bench: --also may be given at most %1 times").arg(MAX_ALSO_DESTINATIONS);
    for (const QString& given : options.also_texts) {
        SendDestination d;
        if (!parse_host_port(given, &d.address, &d.port))
            return QStringLiteral("keyline-bench: --also must be a numeric IPv4 address and port "
                                  "(HOST:PORT) or [IPv6]:PORT, port 1..65535: %1")
                .arg(given);
        d.text = given;
        // The station would hear every datagram twice and fail the run.
        const bool main_one = QHostAddress(options.host) == d.address && options.port == d.port;
        bool repeated = false;
        for (const SendDestination& earlier : *destinations)
            repeated = repeated || (earlier.address == d.address && earlier.port == d.port);
        if (main_one || repeated)
            return QStringLiteral("keyline-bench: --also %1 is %2: every datagram would go there twice")
                .arg(given, main_one ? QStringLiteral("the main destination (--host, --port)")
                                     : QStringLiteral("given twice"));
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
        lines += QStringLiteral("  FAULTS: %1\n").arg(config.given.join(QLatin1Char(' ')));
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
