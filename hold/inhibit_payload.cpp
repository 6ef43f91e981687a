#include "hold/inhibit_payload.h"

QByteArray json_string_body(const QString& text)
{
    static const char hex[] = "0123456789abcdef";
    const QByteArray utf8 = text.toUtf8();
    QByteArray body;
    body.reserve(utf8.size());
    // Every byte of a multi-byte UTF-8 sequence is >= 0x80, so escaping byte
    // by byte never splits a character.
    for (const char c : utf8) {
        const unsigned char b = static_cast<unsigned char>(c);
        switch (b) {
        case '"': body.append("\\\""); break;
        case '\\': body.append("\\\\"); break;
        case '\b': body.append("\\b"); break;
        case '\f': body.append("\\f"); break;
        case '\n': body.append("\\n"); break;
        case '\r': body.append("\\r"); break;
        case '\t': body.append("\\t"); break;
        default:
            if (b < 0x20) {
                body.append("\\u00");
                body.append(hex[b >> 4]);
                body.append(hex[b & 0x0f]);
            } else {
                body.append(c);
            }
        }
    }
    return body;
}

QByteArray inhibit_payload(int ttl_ms, const QByteArray& station_body, const QByteArray& band_body,
                           qint64 seq)
{
    QByteArray payload;
    payload.reserve(64 + station_body.size() + band_body.size());
    payload.append("{\"tx_inhibit\":1,\"ttl_ms\":");
    payload.append(QByteArray::number(ttl_ms));
    payload.append(",\"station\":\"");
    payload.append(station_body);
    payload.append("\",\"band\":\"");
    payload.append(band_body);
    payload.append("\",\"seq\":");
    payload.append(QByteArray::number(seq));
    payload.append('}');
    return payload;
}
