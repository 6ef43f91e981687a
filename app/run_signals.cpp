#include "app/run_signals.h"

#include <signal.h>

#include "common/nonblocking_output.h"
#include "common/signal_pipe.h"
#include "input/terminal_keys.h"

int install_run_signals()
{
    return install_signal_pipe({SIGTERM, SIGINT, SIGHUP, SIGTSTP, SIGCONT});
}

int take_run_signal(int read_fd)
{
    return take_piped_signal(read_fd);
}

bool handle_stop_or_continue(int signo)
{
    if (signo == SIGTSTP) {
        pause_raw_terminal();
        pause_nonblocking_outputs();
        raise(SIGSTOP);  // returns once the process is continued
        resume_nonblocking_outputs();
        resume_raw_terminal();
        return true;
    }
    if (signo == SIGCONT) {
        resume_nonblocking_outputs();
        resume_raw_terminal();
        return true;
    }
    return false;
}
