#include "app/agent_options.h"

#include <cstdint>
#include <limits>

#include <QCommandLineParser>
#include <QHostAddress>

#include "common/inhibit_limits.h"
#include "common/output_path.h"
#include "common/repeated_option.h"
#include "common/whole_number.h"
#include "hold/inhibit_payload.h"
#include "morse/key_schedule.h"

qint32 whole_number(const QString& text)
{
    return whole_number_in(text, 0, 999999999);
}

QString command_line_error(const QCommandLineParser& parser)
{
    const QStringList extra = parser.positionalArguments();
    if (!extra.isEmpty())
        return QStringLiteral("keyline-bench: unexpected argument%1: %2 (quote a text of several words, "
                              "e.g. --key-text \"CQ TEST\")")
            .arg(extra.size() > 1 ? QStringLiteral("s") : QString(), extra.join(QLatin1Char(' ')));
    const QString repeated = repeated_option_error(parser, {QStringLiteral("fault"), QStringLiteral("also")});
    if (!repeated.isEmpty())
        return QStringLiteral("keyline-bench: ") + repeated;
    return QString();
}

QString ttl_ms_option_error(const AgentOptions& o)
{
    if (ttl_ms_valid(o.ttl_ms))
        return QString();
    return QStringLiteral("keyline-bench: --ttl-ms (hold_timeout_ms) must be a whole number 100..30000, not \"%1\"")
        .arg(o.ttl_text);
}

QString seed_option_error(const AgentOptions& o)
{
    if (!o.seed_set || o.seed_valid)
        return QString();
    return QStringLiteral("keyline-bench: --seed must be a whole number 0..18446744073709551615, not \"%1\"")
        .arg(o.seed_text);
}

QString number_option_error(const AgentOptions& o)
{
    if (!o.port_valid)
        return QStringLiteral("keyline-bench: --port must be a whole number 0..65535, not \"%1\"")
            .arg(o.port_text);
    if (o.fixed_hang_set && !o.fixed_hang_valid)
        return QStringLiteral("keyline-bench: --fixed-hang-ms must be a whole number of ms "
                              "-2147483648..2147483647 (0 or less: release at once), not \"%1\"")
            .arg(o.fixed_hang_text);
    return QString();
}

QString payload_option_error(const AgentOptions& o)
{
    // The longest datagram of the run: its HOLDs, with the largest sequence
    // number it could ever reach.
    const qint64 largest_seq = std::numeric_limits<qint64>::max();
    const int bytes =
        inhibit_payload(o.ttl_ms, json_string_body(o.station), json_string_body(o.band), largest_seq).size();
    if (bytes <= MAX_INHIBIT_PAYLOAD_BYTES)
        return QString();
    return QStringLiteral("keyline-bench: --station and --band make a datagram of up to %1 bytes; a "
                          "station accepts at most %2 and would refuse every one (the station is %3 "
                          "bytes, the band %4 bytes as sent)")
        .arg(bytes)
        .arg(MAX_INHIBIT_PAYLOAD_BYTES)
        .arg(json_string_body(o.station).size())
        .arg(json_string_body(o.band).size());
}

bool ttl_ms_valid(qint32 ttl_ms)
{
    return ttl_ms >= 100 && ttl_ms <= 30000;
}

bool host_is_numeric_address(const QString& host)
{
    // A name would become a null address, which Qt sends to the local machine
    // while reporting success: the station would never hear a thing.
    QHostAddress address;
    return address.setAddress(host) && !address.isNull();
}

QString host_error_text(const QString& host)
{
    return QStringLiteral("keyline-bench: --host must be a numeric IPv4 or IPv6 address: %1").arg(host);
}

bool keyless_source(const AgentOptions& o)
{
    return o.key_text_set || o.key_script_set;
}

QStringList key_sources_given(const AgentOptions& o, bool lines)
{
    QStringList sources;
    if (lines && o.key_serial_set)
        sources << QStringLiteral("--key-serial");
    if (lines && o.key_rig_set)
        sources << QStringLiteral("--key-rig");
    if (o.key_text_set)
        sources << QStringLiteral("--key-text");
    if (o.key_script_set)
        sources << QStringLiteral("--key-script");
    if (o.global_keys)
        sources << QStringLiteral("--global-keys");
    return sources;
}

QString key_sources_error(const QStringList& sources)
{
    if (sources.size() < 2)
        return QString();
    return QStringLiteral("keyline-bench: %1 and %2 exclude one another: give one KEY source")
        .arg(sources[0], sources[1]);
}

QString key_source_option_error(const AgentOptions& o)
{
    const QString prefix = QStringLiteral("keyline-bench: ");
    const QString sources = key_sources_error(key_sources_given(o, false));
    if (!sources.isEmpty())
        return sources;
    if (o.wpm_set && (o.wpm < MIN_WPM || o.wpm > MAX_WPM))
        return prefix + QStringLiteral("--wpm must be a whole number %1..%2, not \"%3\"")
                            .arg(MIN_WPM)
                            .arg(MAX_WPM)
                            .arg(o.wpm_text);
    if (o.repeat_set && o.repeat < 0)
        return prefix + QStringLiteral("--repeat must be a whole number, 0 or more, not \"%1\"")
                            .arg(o.repeat_text);
    if (o.record_set && o.record_file == QLatin1String("-"))
        return prefix + QStringLiteral("--record -: a recording goes to a file, not to standard output "
                                       "(the run's log); give a file name (./- for a file named -)");
    if (o.vcd_set && o.vcd_file == QLatin1String("-"))
        return prefix + QStringLiteral("--vcd -: the waveforms go to a file, not to standard output "
                                       "(the run's log); give a file name (./- for a file named -)");
    if (o.record_set && o.vcd_set && same_place(o.record_file, o.vcd_file))
        return prefix + QStringLiteral("--record and --vcd name the same file (%1): give each its own")
                            .arg(o.vcd_file);
    if (o.wpm_set && !o.key_text_set)
        return prefix + QStringLiteral("--wpm goes with --key-text");
    if (o.repeat_set && !keyless_source(o))
        return prefix + QStringLiteral("--repeat goes with --key-text or --key-script");
    return QString();
}
