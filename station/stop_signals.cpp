#include "station/stop_signals.h"

#include <signal.h>

#include "common/signal_pipe.h"

int install_stop_signals()
{
    return install_signal_pipe({SIGINT, SIGTERM, SIGHUP});
}

bool take_stop_signal(int read_fd)
{
    return take_piped_signal(read_fd) != 0;
}
