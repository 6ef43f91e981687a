#pragma once
// A serial port's modem-status input (CTS, DSR, DCD or RI) as the KEY: the
// DEVICE:LINE text, and the port opened without taking it over. The level
// is read with TIOCMGET, a non-blocking call that the 5 ms tick makes as it
// makes EVIOCGKEY on a keyboard.

#include <QByteArray>
#include <QString>
#include <termios.h>

struct SerialLineWiring {
    QByteArray device;       // the path to open
    QString line_name;       // "cts", "dsr", "dcd" or "ri"
    int mask = 0;            // its TIOCM_ bit
    bool active_low = false; // "!": the KEY is down while the line is low
};

// Parses "DEVICE:LINE" (LINE as above, "!" before it for active low). On a
// fault returns false with why, for "keyline-bench: --key-serial ...: WHY".
bool parse_serial_line(const QString& text, SerialLineWiring* wiring, QString* why);

// The KEY from a modem-status word: the line's bit, inverted when active low.
bool serial_key_level(const SerialLineWiring& wiring, int modem_bits);

// An open port and what it was like when opened, to put back at close.
struct SerialPort {
    int fd = -1;
    bool settings_saved = false;
    struct termios settings {};
    int outputs_saved = -1;  // TIOCM_DTR | TIOCM_RTS as found; -1: unknown
};

// Opens the device read-write, non-blocking and without becoming its
// controlling terminal; changes no setting and no output line. On failure
// returns false with the system's reason.
bool open_serial_port(SerialPort& port, const QByteArray& device, QString* reason);

// TIOCMGET: true with the modem-status word, or false with errno set (a port
// that went away answers EIO or ENODEV).
bool read_modem_bits(const SerialPort& port, int* bits);

// Puts back the settings and the DTR and RTS levels found at open if they
// changed meanwhile, then closes. Harmless on a closed port.
void close_serial_port(SerialPort& port);
