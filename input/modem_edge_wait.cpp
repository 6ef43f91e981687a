#include "input/modem_edge_wait.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int STOP_TRIES = 100;  // a signal every 2 ms: 200 ms at most
constexpr auto STOP_RETRY = std::chrono::milliseconds(2);

int interrupt_signal()
{
    return SIGRTMIN + 2;
}

void ignore_signal(int) {}

// A handler without SA_RESTART, so the signal makes the blocked wait
// return EINTR instead of resuming it.
void install_interrupt_handler()
{
    struct sigaction action {};
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(interrupt_signal(), &action, nullptr);
}

void wake(int event_fd)
{
    const uint64_t one = 1;
    while (::write(event_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void wait_for_edges(std::shared_ptr<EdgeWaitShared> w)
{
    while (!w->stopping.load()) {
        if (::ioctl(w->wait_fd, TIOCMIWAIT, w->mask) == 0) {
            wake(w->event_fd);
            continue;
        }
        if (errno == EINTR)
            continue;
        // No TIOCMIWAIT here, or the port went away: the tick finds out which.
        wake(w->event_fd);
        break;
    }
    w->ended.store(true);
}

void close_shared(EdgeWaitShared& w)
{
    if (w.wait_fd >= 0)
        ::close(w.wait_fd);
    if (w.event_fd >= 0)
        ::close(w.event_fd);
    w.wait_fd = -1;
    w.event_fd = -1;
}

}  // namespace

bool start_modem_edge_wait(ModemEdgeWait& w, const QByteArray& device, int mask)
{
    install_interrupt_handler();
    auto shared = std::make_shared<EdgeWaitShared>();
    shared->mask = mask;
    shared->event_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    shared->wait_fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (shared->event_fd < 0 || shared->wait_fd < 0) {
        close_shared(*shared);
        return false;
    }
    w.shared = shared;
    w.thread = std::thread(wait_for_edges, shared);
    return true;
}

void clear_modem_edge_wake(const ModemEdgeWait& w)
{
    uint64_t count = 0;
    const int fd = w.event_fd();
    if (fd >= 0)
        while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
        }
}

void stop_modem_edge_wait(ModemEdgeWait& w)
{
    if (!w.shared)
        return;
    EdgeWaitShared& s = *w.shared;
    if (w.thread.joinable()) {
        s.stopping.store(true);
        // A signal sent just before the thread enters its wait is lost, so
        // it is sent again until the thread has ended.
        for (int i = 0; i < STOP_TRIES && !s.ended.load(); ++i) {
            ::pthread_kill(w.thread.native_handle(), interrupt_signal());
            std::this_thread::sleep_for(STOP_RETRY);
        }
        if (s.ended.load()) {
            w.thread.join();
            close_shared(s);
        } else {
            w.thread.detach();  // still blocked: it keeps its descriptors
        }
    } else {
        close_shared(s);
    }
    w.shared.reset();
}
