#pragma once
// The port a script waits for: written whole to a temporary file in the same
// folder and renamed into place, so the file either does not exist or holds
// the whole line.

#include <QString>
#include <QtGlobal>

// False with the system's reason when it cannot be written.
bool write_port_file(const QString& path, quint16 port, QString& error);
