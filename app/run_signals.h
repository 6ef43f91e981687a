#pragma once
// Signals that arrive while the program runs. Their handler only writes the
// signal's number into a pipe that the event loop watches; the loop then
// acts on it outside signal context:
// - SIGTERM, SIGINT, SIGHUP end the run through the quit path (the hold is
//   released, the terminal restored, exit status 128 + the number);
// - SIGTSTP puts the terminal back for the shell, then stops the process;
//   SIGCONT puts raw mode back.
// SIGPIPE is ignored, so a closed standard output cannot kill the program in
// the middle of a hold.

// Installs the handlers and returns the pipe's read end (non-blocking), or -1
// when the pipe cannot be made (the signals then keep their default action).
int install_run_signals();

// Reads one pending signal number from the pipe; 0 when none is pending.
int take_run_signal(int read_fd);

// What the event loop does for a signal; false for a signal that ends the run.
bool handle_stop_or_continue(int signo);
