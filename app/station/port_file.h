#pragma once
// The port a script waits for: written whole to a temporary file in the same
// folder and linked into place, so the file either does not exist or holds
// the whole line. The path must be new: an existing file (or a link) is never
// replaced, and at the end only the file this run made is removed.

#include <QString>
#include <QtGlobal>

#include "common/output_path.h"

struct PortFile {
    QString path;
    FileIdentity identity;  // known once written
};

// False with the system's reason when it cannot be written; "exists
// already" when something is at the path.
bool write_port_file(PortFile& file, const QString& path, quint16 port, QString& error);

// Removes the file, if it is still the one written.
void remove_port_file(PortFile& file);
