#pragma once
// What both reference programs share: their command line, the raw terminal
// and the datagram bytes. Header only: each reference is a single program.

#include <QByteArray>

#include <cstring>
#include <termios.h>
#include <unistd.h>

struct ReferenceArgs {
    bool global_keys = false;
    quint16 port = 22372;
    const char* device = "/dev/input/event0";
};

//   --port N [--global-keys] [--device PATH]
inline ReferenceArgs parse_reference_args(int argc, char** argv)
{
    ReferenceArgs a;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--global-keys") == 0)
            a.global_keys = true;
        else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            a.port = quint16(QByteArray(argv[++i]).toUInt());
        else if (std::strcmp(argv[i], "--device") == 0 && i + 1 < argc)
            a.device = argv[++i];
    }
    return a;
}

// Raw mode as keyline-bench sets it: reads never wait.
inline bool raw_terminal(struct termios* saved)
{
    if (!::isatty(0) || ::tcgetattr(0, saved) != 0)
        return false;
    struct termios raw = *saved;
    raw.c_lflag &= ~tcflag_t(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL);
    raw.c_iflag &= ~tcflag_t(ICRNL | IXON | IXOFF);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    return ::tcsetattr(0, TCSANOW, &raw) == 0;
}

inline QByteArray reference_payload(int ttl_ms)
{
    return QByteArrayLiteral("{\"tx_inhibit\":1,\"ttl_ms\":") + QByteArray::number(ttl_ms)
           + QByteArrayLiteral(",\"station\":\"TEST-KEY\",\"band\":\"144\",\"seq\":1}");
}
