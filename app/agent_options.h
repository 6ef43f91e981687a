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
};

// Description, help and version options, then the eight options in order.
void add_agent_options(QCommandLineParser& parser);
// Reads the values of a processed parser (port modulo 65536, numbers 0 when
// they do not parse).
AgentOptions read_agent_options(const QCommandLineParser& parser);

bool ttl_ms_valid(qint32 ttl_ms);               // 100..30000
bool host_is_numeric_address(const QString& host);  // IPv4 or IPv6 literal

extern const char* const TTL_MS_ERROR;  // "ttl-ms (hold_timeout_ms) must be 100..30000"
QString host_error_text(const QString& host);
