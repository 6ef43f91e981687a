#pragma once
// SIGINT, SIGTERM and SIGHUP end the run with its summary. Their handler only
// writes into a pipe the event loop watches. SIGPIPE is ignored, so a closed
// standard output cannot kill the program.

// Returns the pipe's read end (non-blocking), or -1 when it cannot be made.
int install_stop_signals();

// True when a stop signal is pending (and takes it).
bool take_stop_signal(int read_fd);
