#pragma once
// A report written when the run ends (--timeline, --junit): opened at the
// start (a new file created, an existing regular one opened without
// truncating, never through a link, never blocking), so that a path that
// cannot be written refuses the run at once instead of losing its report at
// the end; its content is replaced only when the run ends.

#include <QByteArray>
#include <QString>

#include "common/output_path.h"

struct ReportFile {
    const char* option = "";
    QString path;
    int fd = -1;           // -1: not asked for
    bool created = false;  // made by this run
    FileIdentity identity;
};

// Opens path for option (an empty path: not asked for). False with error,
// "PROGRAM: cannot write OPTION PATH: reason", when it cannot.
bool open_report(ReportFile& file, const char* program, const char* option, const QString& path, QString& error);

// Writes bytes as the whole content and closes the file; nothing when the
// report was not asked for. False with a line added to error when it could
// not be written whole.
bool write_report(ReportFile& file, const char* program, const QByteArray& bytes, QString& error);

// A start refused after the file was opened: closes it and removes it if
// this run created it.
void discard_report(ReportFile& file);
