#include "station/port_file.h"

#include <QSaveFile>

bool write_port_file(const QString& path, quint16 port, QString& error)
{
    QSaveFile file(path);
    const QByteArray line = QByteArray::number(port) + '\n';
    if (!file.open(QIODevice::WriteOnly) || file.write(line) != line.size() || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}
