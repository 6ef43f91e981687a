#pragma once
// The command line: the options, their conversion and their checks.

#include <QString>
#include <QStringList>

class QCommandLineParser;
class QCoreApplication;

struct AgentOptions {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 22372;
    QString station = QStringLiteral("TEST-KEY");
    QString band = QStringLiteral("144");
    qint32 ttl_ms = 600;
    bool fixed_hang_set = false;
    qint32 fixed_hang_ms = 0;
    bool global_keys = false;
    bool verbose_keepalive = false;
    bool json = false;   // the log as JSON lines

    // Keying without a keyboard, and the recorder.
    bool key_text_set = false;
    QString key_text;
    bool key_script_set = false;
    QString key_script;  // "-": standard input
    bool wpm_set = false;
    QString wpm_text;
    qint32 wpm = 20;     // -1 when wpm_text is not a whole number
    bool repeat_set = false;
    QString repeat_text;
    qint32 repeat = 1;   // rounds, 0 until quit; -1 when repeat_text is not a whole number
    bool record_set = false;
    QString record_file;

    // The seed of every random draw (faults, the fist); chosen at start-up
    // when not given, so that a run can be replayed.
    bool seed_set = false;
    QString seed_text;
    quint64 seed = 0;    // valid only when seed_valid
    bool seed_valid = false;
};

// Description, help and version options, then the options in order.
void add_agent_options(QCommandLineParser& parser);
// Reads the values of a processed parser (port modulo 65536, numbers 0 when
// they do not parse).
AgentOptions read_agent_options(const QCommandLineParser& parser);

bool ttl_ms_valid(qint32 ttl_ms);               // 100..30000
bool host_is_numeric_address(const QString& host);  // IPv4 or IPv6 literal

// The KEY comes from a Morse text or a key script rather than a keyboard.
bool keyless_source(const AgentOptions& o);
// What is wrong with the keying options together ("keyline-bench: ..."), or
// an empty text when nothing is.
QString key_source_option_error(const AgentOptions& o);

// "keyline-bench: --seed must be a whole number 0..18446744073709551615, not \"x\"",
// or an empty text when the seed is absent or good.
QString seed_option_error(const AgentOptions& o);

extern const char* const TTL_MS_ERROR;  // "ttl-ms (hold_timeout_ms) must be 100..30000"
QString host_error_text(const QString& host);
