#pragma once
// A JSON object built key by key, for the one-object-per-line logs. Texts
// given here are escaped already (text_escape.h: no control character, a
// backslash doubled), so only the quote and the backslash remain to be
// written as JSON escapes.

#include <QLatin1String>
#include <QString>
#include <QtGlobal>

struct JsonLine {
    QString out = QStringLiteral("{");

    void key(const char* name)
    {
        if (out.size() > 1)
            out += QLatin1Char(',');
        out += QLatin1Char('"');
        out += QLatin1String(name);
        out += QLatin1String("\":");
    }
    void text(const char* name, const QString& value)
    {
        key(name);
        out += QLatin1Char('"');
        for (const QChar c : value) {
            if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
                out += QLatin1Char('\\');
            out += c;
        }
        out += QLatin1Char('"');
    }
    void number(const char* name, qint64 value)
    {
        key(name);
        out += QString::number(value);
    }
    void flag(const char* name, bool value)
    {
        key(name);
        out += value ? QLatin1String("true") : QLatin1String("false");
    }
    // A number only where it applies.
    void number_if(const char* name, qint64 value)
    {
        if (value >= 0)
            number(name, value);
    }
    QString done() { return out + QLatin1Char('}'); }
};
