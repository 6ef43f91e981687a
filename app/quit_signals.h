#pragma once
// SIGTERM, SIGINT and SIGHUP end the run through the same quit path as the
// quit key; the handler only writes the signal's number into a pipe that the
// event loop watches. SIGPIPE is ignored, so a closed standard output cannot
// kill the program in the middle of a hold.

// Installs the handlers and returns the pipe's read end (non-blocking), or -1
// when the pipe cannot be made (the signals then keep their default action).
int install_quit_signals();

// Reads one pending signal number from the pipe; 0 when none is pending.
int take_quit_signal(int read_fd);
