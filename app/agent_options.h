#pragma once
// keyline-bench's options as the command line gives them (read in
// agent_command_line.h), and their checks.

#include <QString>
#include <QStringList>

class QCommandLineParser;
class QCoreApplication;

struct AgentOptions {
    QString host = QStringLiteral("127.0.0.1");
    QString port_text = QStringLiteral("22372");
    bool port_valid = true;  // a whole number 0..65535 (0 as typed: every send then fails)
    quint16 port = 22372;
    QString station = QStringLiteral("TEST-KEY");
    QString band = QStringLiteral("144");
    QString ttl_text = QStringLiteral("600");
    qint32 ttl_ms = 600;  // 0 when ttl_text does not parse
    bool fixed_hang_set = false;
    QString fixed_hang_text;
    bool fixed_hang_valid = true;  // a whole number in the signed 32-bit range
    qint32 fixed_hang_ms = 0;      // a negative number acts as 0
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
    bool vcd_set = false;
    QString vcd_file;    // waveforms (Value Change Dump)

    // The seed of every random draw (faults, the fist); chosen at start-up
    // when not given, so that a run can be replayed.
    bool seed_set = false;
    QString seed_text;
    quint64 seed = 0;    // valid only when seed_valid
    bool seed_valid = false;

    // Faults on purpose and more destinations (fault_options.h checks them).
    QStringList fault_texts;  // --fault, in order
    QStringList also_texts;   // --also HOST:PORT, in order
    // Read back as text, and how a text is keyed (app/cw_options.h).
    bool decode = false;
    bool farnsworth_set = false;
    QString farnsworth_text;
    qint32 farnsworth_wpm = 0;   // -1 when not a whole number
    bool fist_set = false;
    QString fist_text;
    qint32 fist_percent = 0;
    bool weight_set = false;
    QString weight_text;
    qint32 weight_percent = 50;
    // The KEY from real hardware (app/key_line_options.h).
    bool key_serial_set = false;
    QString key_serial;      // DEVICE:LINE
    bool key_rig_set = false;
    QString key_rig;         // HOST:PORT or MODEL:DEVICE[,NAME=VALUE...]
    bool rig_poll_ms_set = false;
    QString rig_poll_ms_text;
    qint32 rig_poll_ms = 10; // -1 when rig_poll_ms_text is not a whole number
};

// Digits only (no sign, blank or point), at most nine of them; else -1.
qint32 whole_number(const QString& text);

bool ttl_ms_valid(qint32 ttl_ms);               // 100..30000
bool host_is_numeric_address(const QString& host);  // IPv4 or IPv6 literal

// The KEY comes from a Morse text or a key script rather than a keyboard.
bool keyless_source(const AgentOptions& o);
// The KEY sources given, in the order a refusal names them; with lines, the
// serial line and the rig first.
QStringList key_sources_given(const AgentOptions& o, bool lines);
// "keyline-bench: A and B exclude one another: ..." for the first two of
// sources, or an empty text for fewer than two.
QString key_sources_error(const QStringList& sources);
// What is wrong with the keying options together ("keyline-bench: ..."), or
// an empty text when nothing is.
QString key_source_option_error(const AgentOptions& o);

// What is wrong with the command line as a whole: an argument that is no
// option (a text of several words not quoted) or a single-value option given
// twice ("keyline-bench: ..."); an empty text when nothing is.
QString command_line_error(const QCommandLineParser& parser);

// "keyline-bench: --ttl-ms (hold_timeout_ms) must be a whole number
// 100..30000, not \"99\"", or an empty text when the ttl is good.
QString ttl_ms_option_error(const AgentOptions& o);

// "keyline-bench: --seed must be a whole number 0..18446744073709551615, not \"x\"",
// or an empty text when the seed is absent or good.
QString seed_option_error(const AgentOptions& o);

// "keyline-bench: --port must be a whole number 0..65535, not \"x\"" and the
// like for --fixed-hang-ms, or an empty text when both are good.
QString number_option_error(const AgentOptions& o);

// Refuses a --station or --band that would make a datagram longer than a
// station accepts (MAX_INHIBIT_PAYLOAD_BYTES); an empty text when they fit.
QString payload_option_error(const AgentOptions& o);

QString host_error_text(const QString& host);
