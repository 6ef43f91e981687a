#include "app/banner.h"

#include <algorithm>

#include "app/agent_options.h"
#include "app/cw_options.h"
#include "app/fault_options.h"
#include "app/key_line_options.h"
#include "app/run_seed.h"
#include "app/key_source.h"
#include "common/text_escape.h"
#include "report/bench_json.h"
#include "hold/hold_lifecycle.h"
#include "monitor/key_poll_tick.h"

QString mode_text(bool global_keys)
{
    if (global_keys)
        return QStringLiteral(
            "KEY = grave/` via /dev/input EVIOCGKEY (true level, SYSTEM-WIDE). q/Esc also system-wide.");
    return QStringLiteral(
        "KEY = grave/` only when typed in *this terminal* (EVIOCGKEY level after TTY press; other "
        "windows ignored). q/Esc only from this terminal. --global-keys for system-wide KEY.");
}

QString agent_mode_text(const AgentOptions& o)
{
    if (key_line_source(o))
        return key_line_mode_text(o);
    return keyless_source(o) ? key_source_mode_text(o) : mode_text(o.global_keys);
}

QString ttl_warning_text(qint32 ttl_ms)
{
    return QStringLiteral("hold_timeout_ms=%1 is shorter than the %2 ms keepalive period: "
                          "every hold lapses at the station between keepalives.")
        .arg(ttl_ms)
        .arg(KEEPALIVE_INTERVAL_MS);
}

QString banner_text(const AgentOptions& o, const QStringList& keyed_lines)
{
    const bool keyboard = !keyless_source(o) && !key_line_source(o);
    const QString hang = o.fixed_hang_set
        ? QStringLiteral("fixed override %1 ms").arg(std::max(o.fixed_hang_ms, 0))
        : QStringLiteral("KEYing monitor: break-in 1.5x word gap; continuous hang=0");
    QString b;
    b += QStringLiteral("keyline-bench (KEY agent) -> %1:%2\n").arg(o.host, QString::number(o.port));
    if (keyboard) {
        b += QStringLiteral("  ` (grave) = KEY level: hold to assert, release to open  - not Space\n");
        b += QStringLiteral("  ~ (shift+grave) = LATCH on; press ` or ~ again to release\n");
    }
    b += QStringLiteral("  q or Esc  = release hold and quit\n");
    b += QStringLiteral("  station=%1  band=%2\n").arg(escape_text(o.station), escape_text(o.band));
    b += QStringLiteral("  hold_timeout_ms=%1  keepalive every %2 ms while hold active\n")
             .arg(o.ttl_ms)
             .arg(KEEPALIVE_INTERVAL_MS);
    if (o.ttl_ms < KEEPALIVE_INTERVAL_MS)
        b += QStringLiteral("  WARNING: ") + ttl_warning_text(o.ttl_ms) + QLatin1Char('\n');
    const QString probe = o.key_serial_set ? QStringLiteral("TIOCMGET level")
                        : o.key_rig_set   ? QStringLiteral("the rig's latest poll")
                                          : QStringLiteral("EVIOCGKEY true level");
    b += QStringLiteral("  key poll=%1 ms (%2)\n").arg(KEY_POLL_INTERVAL_MS).arg(probe);
    b += QStringLiteral("  hang=%1\n").arg(hang);
    b += QStringLiteral("  %1\n").arg(agent_mode_text(o));
    if (o.record_set)
        b += QStringLiteral("  Recording the KEY's edges to %1 (a key script for --key-script).\n").arg(o.record_file);
    if (keyboard) {
        b += QStringLiteral("  Latched (~) reads as one continuous mark: hang=0, released on the next press.\n");
        b += QStringLiteral("  Held (`) >=500 ms is also continuous; short taps use break-in hang.\n");
    }
    for (const QString& line : keyed_lines)
        b += QStringLiteral("  %1\n").arg(line);
    b += QStringLiteral("  Or: --fixed-hang-ms 0 for immediate release on KEY open.\n");
    b += QStringLiteral("  See docs/TX_INHIBIT.md s3 (Hold sender + KEYing monitor).\n");
    b += QStringLiteral("\n");
    return b;
}

QString start_json_fields(const AgentOptions& o, const QStringList& keyed_lines, bool seed_shown,
                          quint64 seed)
{
    JsonLine line;
    add_text(line, "to", o.host + QLatin1Char(':') + QString::number(o.port));
    add_text(line, "station", o.station);
    add_text(line, "band", o.band);
    line.number("ttl_ms", o.ttl_ms);
    line.number("keepalive_ms", KEEPALIVE_INTERVAL_MS);
    line.number("poll_ms", KEY_POLL_INTERVAL_MS);
    if (o.fixed_hang_set)
        line.number("fixed_hang_ms", std::max(o.fixed_hang_ms, 0));
    add_text(line, "key", agent_mode_text(o));
    if (o.record_set)
        add_text(line, "record", o.record_file);
    line.flag("verbose_keepalive", o.verbose_keepalive);
    if (!o.fault_texts.isEmpty())
        add_text(line, "faults", o.fault_texts.join(QLatin1Char(' ')));
    if (!o.also_texts.isEmpty())
        add_text(line, "also", o.also_texts.join(QStringLiteral(", ")));
    // As text: a seed may pass the largest number a JSON reader keeps exact.
    if (seed_shown)
        line.text("seed", QString::number(seed));
    if (o.decode)
        line.flag("decode", true);
    // What the text banner says of the keying and its warnings, word for word.
    if (!keyed_lines.isEmpty())
        add_text(line, "keyed", keyed_lines.join(QLatin1Char(' ')));
    if (o.ttl_ms < KEEPALIVE_INTERVAL_MS)
        add_text(line, "warning", ttl_warning_text(o.ttl_ms));
    return line.out.mid(1);  // the fields, without the opening brace
}

BenchEvent start_event(const AgentOptions& options, const QStringList& keyed_lines, const FaultConfig& faults,
                       const std::vector<SendDestination>& also, quint64 seed, qint64 now_ns)
{
    BenchEvent start = bench_event_at_ns(BenchEventKind::Start, now_ns);
    start.text = banner_with_faults(banner_text(options, keyed_lines), faults, also, seed);
    if (fist_used(options) && !fault_config_random(faults))
        start.text.insert(start.text.size() - 1, seed_banner_line(seed));  // before the closing blank line
    start.json = start_json_fields(options, keyed_lines, fault_config_random(faults) || fist_used(options), seed);
    return start;
}
