#pragma once
// Items made on a worker thread (a rig's readings, a command's lines) waiting
// for the owner thread. The worker puts them in; the owner watches wake_fd
// (an eventfd, readable while something waits) and takes them all, in order.
// The queue is bounded: the first item that does not fit is replaced by one
// last item saying so, and the worker stops there, so the owner learns of a
// hole rather than judge over it, and the memory stays bounded.

#include <QString>
#include <QtGlobal>

#include <mutex>
#include <utility>
#include <vector>

template <typename T>
struct ThreadHandover {
    int wake_fd = -1;
    std::mutex mutex;  // guards what follows
    std::vector<T> waiting;
    qint64 let_go = 0;  // items that did not fit
};

// An eventfd used as a flag between threads (the owner's wake-up, a stop
// request): made non-blocking, false with error when it cannot be made.
bool open_wake_fd(int& fd, QString& error);
void close_wake_fd(int& fd);
// Makes fd readable (a full counter needs no more).
void set_wake_fd(int fd);
// Makes it unreadable until it is set again.
void clear_wake_fd(int fd);

// Puts item in, or, with limit items waiting already, the one item full(item)
// makes (the first time) in its place: false then, and the worker stops.
template <typename T, typename Full>
bool hand_over(ThreadHandover<T>& q, T&& item, size_t limit, Full full)
{
    bool kept = true;
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        if (q.waiting.size() >= limit) {
            if (q.let_go++ == 0)
                q.waiting.push_back(full(item));
            kept = false;
        } else {
            q.waiting.push_back(std::move(item));
        }
    }
    set_wake_fd(q.wake_fd);
    return kept;
}

// Moves what waits to out (in order) and clears the wake-up.
template <typename T>
void take_handed_over(ThreadHandover<T>& q, std::vector<T>& out)
{
    clear_wake_fd(q.wake_fd);
    std::lock_guard<std::mutex> lock(q.mutex);
    for (T& item : q.waiting)
        out.push_back(std::move(item));
    q.waiting.clear();
}
