#include "common/host_port.h"

bool parse_host_port(const QString& text, QHostAddress* address, quint16* port)
{
    QString host;
    QString port_text;
    if (text.startsWith(QLatin1Char('['))) {
        const int close_at = text.indexOf(QStringLiteral("]:"));
        if (close_at < 0)
            return false;
        host = text.mid(1, close_at - 1);
        port_text = text.mid(close_at + 2);
        if (!host.contains(QLatin1Char(':')))
            return false;
    } else {
        const int colon = text.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return false;
        host = text.left(colon);
        port_text = text.mid(colon + 1);
        if (host.contains(QLatin1Char(':')))
            return false;  // a bare IPv6 address: where would the port begin?
    }
    if (port_text.isEmpty() || port_text.size() > 5)
        return false;
    for (const QChar c : port_text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    const uint number = port_text.toUInt();
    if (number < 1 || number > 65535)
        return false;
    QHostAddress parsed;
    if (!parsed.setAddress(host) || parsed.isNull())
        return false;
    *address = parsed;
    *port = static_cast<quint16>(number);
    return true;
}
