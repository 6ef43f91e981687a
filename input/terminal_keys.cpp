#include "input/terminal_keys.h"

#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

bool g_stdin_space = false;
bool g_stdin_latch = false;
bool g_stdin_quit = false;
bool g_term_raw = false;
bool g_stdin_closed = false;
struct termios g_term_saved = {};

namespace {

constexpr int TERMINAL_CHUNK_BYTES = 64;

bool g_restore_registered = false;  // restore_stdin_termios goes to atexit once per process

// Raw mode makes a read return at once, but if the terminal is put back to
// line mode behind our back (a job stopped and resumed by the shell), a read
// would wait for a whole line and stall the tick. Asking first never waits.
// The poll's events; 0 when nothing is pending.
short stdin_events()
{
    struct pollfd p = {0, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0)
        return 0;
    return p.revents;
}

constexpr short HANG_UP_EVENTS = POLLHUP | POLLERR | POLLNVAL;

}  // namespace

TerminalMarks scan_terminal_bytes(const unsigned char* bytes, long count)
{
    TerminalMarks marks;
    for (long i = 0; i < count; ++i) {
        const unsigned char b = bytes[i];
        if (b == 0x60) {
            marks.key = true;
        } else if (b == 0x7E) {
            marks.key = true;
            marks.latch = true;
        } else if ((b & 0xDF) == 0x51 || b == 0x03 || b == 0x1B) {
            // 'q' or 'Q', Ctrl-C, Esc (also the start of arrow and function keys)
            marks.quit = true;
        }
    }
    return marks;
}

void poll_stdin_keys()
{
    if (!g_term_raw || g_stdin_closed)
        return;
    unsigned char chunk[TERMINAL_CHUNK_BYTES];
    for (;;) {
        const short events = stdin_events();
        if (events == 0)
            return;
        const ssize_t n = (events & POLLIN) ? ::read(0, chunk, sizeof chunk) : 0;
        if (n <= 0) {
            // A hung-up terminal stays "ready" for ever: reading it again
            // would only wake us again and again.
            if ((events & HANG_UP_EVENTS) || (n < 0 && errno == EIO))
                g_stdin_closed = true;
            return;
        }
        const TerminalMarks marks = scan_terminal_bytes(chunk, n);
        // Sticky: only ever set here; the poll tick consumes them.
        if (marks.quit)
            g_stdin_quit = true;
        if (marks.latch)
            g_stdin_latch = true;
        if (marks.key)
            g_stdin_space = true;
    }
}

struct termios raw_terminal_settings(const struct termios& saved)
{
    struct termios raw = saved;
    raw.c_lflag &= ~tcflag_t(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL);
    raw.c_iflag &= ~tcflag_t(ICRNL | IXON | IXOFF);
    // Reads return at once with whatever is pending.
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    return raw;
}

void enter_raw_terminal()
{
    // Already raw: the saved settings must stay the cooked ones.
    if (g_term_raw)
        return;
    if (!::isatty(0))
        return;
    struct termios saved;
    if (::tcgetattr(0, &saved) != 0)
        return;
    const struct termios raw = raw_terminal_settings(saved);
    if (::tcsetattr(0, TCSANOW, &raw) != 0)
        return;
    g_term_saved = saved;
    g_term_raw = true;
    if (!g_restore_registered)
        g_restore_registered = std::atexit(restore_stdin_termios) == 0;
}

void pause_raw_terminal()
{
    if (g_term_raw)
        ::tcsetattr(0, TCSAFLUSH, &g_term_saved);  // a failed restore is ignored
}

void restore_stdin_termios()
{
    pause_raw_terminal();
    g_term_raw = false;
}

void resume_raw_terminal()
{
    if (!g_term_raw)
        return;
    const struct termios raw = raw_terminal_settings(g_term_saved);
    ::tcsetattr(0, TCSANOW, &raw);
}
