#include "common/signal_pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

int g_signal_pipe_write = -1;

void on_signal(int signo)
{
    const int saved_errno = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    // A full pipe already holds a pending signal; losing this byte is harmless.
    ssize_t ignored = write(g_signal_pipe_write, &byte, 1);
    (void)ignored;
    errno = saved_errno;
}

}  // namespace

int install_signal_pipe(std::initializer_list<int> signal_numbers)
{
    signal(SIGPIPE, SIG_IGN);

    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return -1;
    g_signal_pipe_write = fds[1];

    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : signal_numbers)
        sigaction(signo, &action, nullptr);
    return fds[0];
}

int take_piped_signal(int read_fd)
{
    unsigned char byte = 0;
    if (read(read_fd, &byte, 1) != 1)
        return 0;
    return byte;
}
