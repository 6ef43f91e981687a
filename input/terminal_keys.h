#pragma once
// The program's own terminal: raw mode, the byte reader and its sticky flags,
// and the restore.

#include <termios.h>

extern bool g_stdin_space;  // a grave (0x60) or tilde (0x7E) byte arrived
extern bool g_stdin_latch;  // a tilde byte arrived
extern bool g_stdin_quit;   // q, Q, Ctrl-C or Esc arrived; never cleared
extern bool g_term_raw;     // standard input is raw and g_term_saved holds the settings to put back
extern bool g_stdin_closed; // the terminal hung up or reached its end: it is read no more
extern struct termios g_term_saved;

// What one chunk of terminal bytes holds.
struct TerminalMarks {
    bool key = false;
    bool latch = false;
    bool quit = false;
};
TerminalMarks scan_terminal_bytes(const unsigned char* bytes, long count);

// Reads every pending byte of standard input (64-byte chunks) and sets the
// sticky flags. Does nothing while g_term_raw is false or once the terminal
// has closed (then g_stdin_closed is set).
void poll_stdin_keys();

// Switches standard input to raw mode when it is a terminal: saves its
// settings, clears ISIG ICANON ECHO ECHOE ECHOK ECHONL, ICRNL IXON IXOFF,
// VMIN = VTIME = 0, applies with TCSANOW, sets g_term_raw and registers
// restore_stdin_termios with atexit. Any failure leaves the terminal alone.
void enter_raw_terminal();

// The raw-mode settings derived from saved ones (no system call).
struct termios raw_terminal_settings(const struct termios& saved);

// A stop and a resume: the terminal gets its saved settings back for the
// shell while the program is stopped, and raw mode again when it resumes
// (the shell may have put its own settings on it meanwhile). Both do nothing
// unless raw mode is in force; g_term_raw stays as it is.
void pause_raw_terminal();
void resume_raw_terminal();

// Puts g_term_saved back (TCSAFLUSH) when g_term_raw; clears g_term_raw
// whether or not that worked.
void restore_stdin_termios();
