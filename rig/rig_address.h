#pragma once
// Where a rig is, as the user writes it: "HOST:PORT" (a rigctld, reached
// through hamlib's NET rigctl model) or "MODEL:DEVICE[,NAME=VALUE...]" (a rig
// hamlib drives itself, e.g. "3073:/dev/ttyUSB0,serial_speed=19200").
// Parsing is pure, so a mistyped address is refused before anything opens.

#include <QString>
#include <QtGlobal>

#include <utility>
#include <vector>

// hamlib's NET rigctl model: a client of a rigctld.
constexpr int RIG_MODEL_RIGCTLD = 2;

struct RigAddress {
    int model = 0;
    QString device;  // the port hamlib opens: "host:port" or a device path
    std::vector<std::pair<QString, QString>> settings;  // NAME=VALUE, in order
    QString text;    // as given, for messages
};

// True with address filled, or false with error saying why.
bool parse_rig_address(const QString& text, RigAddress& address, QString& error);
