#include "report/report_file.h"

#include <unistd.h>

bool open_report(ReportFile& file, const char* program, const char* option, const QString& path, QString& error)
{
    file.option = option;
    file.path = path;
    if (path.isEmpty())
        return true;
    QString reason;
    file.fd = open_report_file(path, file.created, file.identity, reason);
    if (file.fd >= 0)
        return true;
    error = QStringLiteral("%1: cannot write %2 %3: %4").arg(QLatin1String(program), QLatin1String(option), path, reason);
    return false;
}

bool write_report(ReportFile& file, const char* program, const QByteArray& bytes, QString& error)
{
    if (file.fd < 0)
        return true;
    QString reason;
    const bool ok = replace_file_content(file.fd, bytes.constData(), bytes.size(), reason);
    if (!ok)
        error += QStringLiteral("%1: cannot write %2 %3: %4\n")
                     .arg(QLatin1String(program), QLatin1String(file.option), file.path, reason);
    if (::close(file.fd) != 0 && ok)
        error += QStringLiteral("%1: cannot write %2 %3\n").arg(QLatin1String(program), QLatin1String(file.option), file.path);
    file.fd = -1;
    return ok;
}

void discard_report(ReportFile& file)
{
    if (file.fd < 0)
        return;
    ::close(file.fd);
    file.fd = -1;
    if (file.created)
        remove_if_same(file.path, file.identity);
}
