#pragma once
// Signals turned into bytes on a pipe that the event loop watches: the
// handler only writes the signal's number, and the loop acts on it outside
// signal context. SIGPIPE is ignored, so a closed standard output cannot kill
// the program in the middle of its work.

#include <initializer_list>

// Installs the handler for these signals and returns the pipe's read end
// (non-blocking), or -1 when the pipe cannot be made (the signals then keep
// their default action).
int install_signal_pipe(std::initializer_list<int> signal_numbers);

// Reads one pending signal number from the pipe; 0 when none is pending.
int take_piped_signal(int read_fd);
