#include "watch/log_command.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

qint64 now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

LogLine queue_full(const LogLine& line)
{
    // A line let go may be the one that said inhibited or free: the watch
    // ends there rather than judge a run with a hole in it.
    LogLine lost;
    lost.at_ms = line.at_ms;
    lost.lost = QStringLiteral("its lines came faster than they were taken");
    return lost;
}

void hand_over(LogCommand& log, LogLine&& line)
{
    hand_over(log.queue, std::move(line), size_t(LOG_QUEUE_LIMIT), queue_full);
}

void take_line(LogCommand& log, const QByteArray& bytes, qint64 at_ms)
{
    LogLine line;
    line.at_ms = at_ms;
    line.text = QString::fromUtf8(bytes);
    if (line.text.endsWith(QLatin1Char('\r')))
        line.text.chop(1);
    if (log.inhibited.match(line.text).hasMatch()) {
        line.inhibited = true;
    } else if (!log.free.match(line.text).hasMatch()) {
        ++log.unmatched;
        return;
    }
    hand_over(log, std::move(line));
}

void read_loop(LogCommand& log)
{
    QByteArray pending;
    char buffer[4096];
    bool stopped = false;
    for (;;) {
        // The stop descriptor too: a process outside the group may keep the
        // pipe open after the command ended.
        pollfd fds[2] = {{log.out_fd, POLLIN, 0}, {log.stop_fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents) {
            stopped = true;
            break;
        }
        const ssize_t n = read(log.out_fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        const qint64 at = now_ms();
        pending.append(buffer, int(n));
        int start = 0;
        for (;;) {
            const int nl = pending.indexOf('\n', start);
            if (nl < 0)
                break;
            take_line(log, pending.mid(start, nl - start), at);
            start = nl + 1;
        }
        pending.remove(0, start);
        while (pending.size() >= LOG_LINE_LIMIT) {
            take_line(log, pending.left(LOG_LINE_LIMIT), at);
            pending.remove(0, LOG_LINE_LIMIT);
        }
    }
    if (!pending.isEmpty())
        take_line(log, pending, now_ms());
    LogLine end;
    end.ended = true;
    end.at_ms = now_ms();
    int status = 0;
    pid_t reaped = waitpid(log.pid, &status, stopped ? WNOHANG : 0);
    for (int i = 0; stopped && reaped == 0 && i < 100; ++i) {  // a second for SIGTERM
        usleep(10000);
        reaped = waitpid(log.pid, &status, WNOHANG);
    }
    if (reaped == 0) {
        kill(-log.pid, SIGKILL);
        reaped = waitpid(log.pid, &status, 0);
    }
    if (reaped == log.pid)
        end.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    end.at_ms = now_ms();
    log.reaped = true;
    hand_over(log, std::move(end));
}

}  // namespace

bool start_log_command(LogCommand& log, QString& error)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so that a pipeline ends as a whole; signals
    // the program blocks or ignores are not passed on.
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const QByteArray command = log.command.toLocal8Bit();
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command.constData()),
                    nullptr};
    const int code = posix_spawn(&log.pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    if (code != 0) {
        close(fds[0]);
        log.pid = -1;
        error = QString::fromLocal8Bit(strerror(code));
        return false;
    }
    log.out_fd = fds[0];
    if (!open_wake_fd(log.queue.wake_fd, error) || !open_wake_fd(log.stop_fd, error)) {
        kill(-log.pid, SIGTERM);
        waitpid(log.pid, nullptr, 0);
        close(log.out_fd);
        log.out_fd = -1;
        close_wake_fd(log.queue.wake_fd);
        return false;
    }
    log.inhibited.optimize();
    log.free.optimize();
    log.thread = std::thread(read_loop, std::ref(log));
    return true;
}

void take_log_lines(LogCommand& log, std::vector<LogLine>& out)
{
    take_handed_over(log.queue, out);
}

void stop_log_command(LogCommand& log)
{
    if (log.thread.joinable()) {
        // The group ends, the pipe reaches its end, the thread reaps the shell.
        if (log.pid > 0 && !log.reaped)
            kill(-log.pid, SIGTERM);
        set_wake_fd(log.stop_fd);
        log.thread.join();
    }
    if (log.out_fd >= 0)
        close(log.out_fd);
    log.out_fd = -1;
    close_wake_fd(log.queue.wake_fd);
    close_wake_fd(log.stop_fd);
}
