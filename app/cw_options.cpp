#include "app/cw_options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include "app/agent_options.h"
#include "morse/key_schedule.h"
#include "morse/morse_style.h"

namespace {

QString range_error(const char* option, int low, int high, const QString& given)
{
    return QStringLiteral("keyline-bench: --%1 must be a whole number %2..%3, not \"%4\"")
        .arg(QLatin1String(option))
        .arg(low)
        .arg(high)
        .arg(given);
}

}  // namespace

void add_cw_options(QCommandLineParser& parser)
{
    parser.addOption(QCommandLineOption(
        "decode", "Read the KEY's keying back as Morse text, from any source (keyboard, text, "
                  "script): at each RELEASE and at quit one line \"DECODED  CQ TEST  (25 WPM)\"; "
                  "* for a character it cannot read. Changes nothing else."));
    parser.addOption(QCommandLineOption(
        "farnsworth", "Farnsworth spacing for --key-text: characters at --wpm, letter and word gaps "
                      "stretched to this overall speed (ARRL formula), a whole number 5..--wpm.",
        "wpm"));
    parser.addOption(QCommandLineOption(
        "fist", "A human fist for --key-text: each element and gap off by up to this many percent "
                "at random (0..30), drawn from --seed: the same seed keys the same.",
        "percent"));
    parser.addOption(QCommandLineOption(
        "weight", "Weight of --key-text, 30..70 percent (default 50, standard): higher lengthens "
                  "every mark and shortens every gap by the same amount.",
        "percent"));
}

void read_cw_options(const QCommandLineParser& parser, AgentOptions* o)
{
    o->decode = parser.isSet("decode");
    o->farnsworth_set = parser.isSet("farnsworth");
    o->farnsworth_text = parser.value("farnsworth");
    o->farnsworth_wpm = o->farnsworth_set ? whole_number(o->farnsworth_text) : 0;
    o->fist_set = parser.isSet("fist");
    o->fist_text = parser.value("fist");
    o->fist_percent = o->fist_set ? whole_number(o->fist_text) : 0;
    o->weight_set = parser.isSet("weight");
    o->weight_text = parser.value("weight");
    o->weight_percent = o->weight_set ? whole_number(o->weight_text) : STANDARD_WEIGHT_PERCENT;
}

QString cw_option_error(const AgentOptions& o)
{
    if (o.farnsworth_set && (o.farnsworth_wpm < MIN_WPM || o.farnsworth_wpm > MAX_WPM))
        return range_error("farnsworth", MIN_WPM, MAX_WPM, o.farnsworth_text);
    if (o.farnsworth_set && o.farnsworth_wpm > o.wpm)
        return QStringLiteral("keyline-bench: --farnsworth %1 is above --wpm %2: Farnsworth spacing "
                              "only slows the overall speed")
            .arg(o.farnsworth_wpm)
            .arg(o.wpm);
    if (o.fist_set && (o.fist_percent < 0 || o.fist_percent > MAX_FIST_PERCENT))
        return range_error("fist", 0, MAX_FIST_PERCENT, o.fist_text);
    if (o.weight_set && (o.weight_percent < MIN_WEIGHT_PERCENT || o.weight_percent > MAX_WEIGHT_PERCENT))
        return range_error("weight", MIN_WEIGHT_PERCENT, MAX_WEIGHT_PERCENT, o.weight_text);
    for (const auto& [set, name] : {std::pair<bool, const char*>{o.farnsworth_set, "farnsworth"},
                                    {o.fist_set, "fist"},
                                    {o.weight_set, "weight"}})
        if (set && !o.key_text_set)
            return QStringLiteral("keyline-bench: --%1 goes with --key-text").arg(QLatin1String(name));
    return QString();
}

bool fist_used(const AgentOptions& o)
{
    return o.key_text_set && o.fist_set && o.fist_percent > 0;
}

MorseStyle morse_style(const AgentOptions& o, quint64 seed)
{
    MorseStyle s;
    s.wpm = o.wpm;
    s.farnsworth_wpm = o.farnsworth_set ? o.farnsworth_wpm : 0;
    s.fist_percent = o.fist_set ? o.fist_percent : 0;
    s.weight_percent = o.weight_set ? o.weight_percent : STANDARD_WEIGHT_PERCENT;
    s.seed = seed;
    return s;
}

QString morse_style_text(const AgentOptions& o)
{
    QString t;
    if (o.farnsworth_set)
        t += QStringLiteral(", Farnsworth %1 WPM").arg(o.farnsworth_wpm);
    if (o.fist_set)
        t += QStringLiteral(", fist %1 %").arg(o.fist_percent);
    if (o.weight_set)
        t += QStringLiteral(", weight %1 %").arg(o.weight_percent);
    return t;
}

QByteArray morse_style_header(const AgentOptions& o, quint64 seed)
{
    if (!o.key_text_set || !(o.farnsworth_set || o.fist_set || o.weight_set))
        return QByteArray();
    QString line = QStringLiteral("# keying: Morse text at %1 WPM").arg(o.wpm) + morse_style_text(o);
    if (fist_used(o))
        line += QStringLiteral(" (seed %1)").arg(seed);
    return line.toUtf8() + '\n';
}
