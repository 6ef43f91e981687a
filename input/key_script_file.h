#pragma once
// Reading a key script: a file, or standard input for "-".

#include <QByteArray>
#include <QString>

constexpr qint64 MAX_KEY_SCRIPT_BYTES = 16 * 1024 * 1024;

// The bytes of the script named `path` ("-": standard input, refused when it
// is a terminal). Reading stops after the first NUL byte, which the parser
// refuses, so a device such as /dev/zero cannot keep it reading. On failure
// returns false with "PATH: reason". A script that has sent nothing after
// about a second (a FIFO with no writer yet, a pipe from a slow command) has
// `waiting` called once, and is then waited for as long as it takes.
constexpr int KEY_SCRIPT_WAIT_NOTE_MS = 1000;
bool read_key_script(const QString& path, QByteArray* content, QString* error,
                     void (*waiting)(const QString& path) = nullptr);
