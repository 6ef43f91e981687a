#include "station/stop_signals.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <initializer_list>

namespace {

int g_stop_pipe_write = -1;

void on_stop_signal(int signo)
{
    const int saved_errno = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    ssize_t ignored = write(g_stop_pipe_write, &byte, 1);  // full: one is pending already
    (void)ignored;
    errno = saved_errno;
}

}  // namespace

int install_stop_signals()
{
    signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return -1;
    g_stop_pipe_write = fds[1];
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signo, &action, nullptr);
    return fds[0];
}

bool take_stop_signal(int read_fd)
{
    unsigned char byte = 0;
    return read(read_fd, &byte, 1) == 1;
}
