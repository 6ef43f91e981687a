#pragma once
// A queue between exactly two threads, one putting in and one taking out,
// that neither waits on: records of a fixed head and a few bytes after it,
// in one ring allocated once. put() refuses what does not fit; the putting
// thread counts it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class HandoverQueue {
public:
    explicit HandoverQueue(std::size_t capacity);  // bytes, a multiple of 8

    // Putting thread: head (head_size bytes) and size bytes of data; false
    // when there is no room for them now.
    bool put(const void* head, std::size_t head_size, const char* data, std::size_t size);

    // Taking thread: the next record's head copied into head (head_size
    // bytes) and its data into data (at most capacity bytes; the size is
    // returned in size), taken out of the queue; false when it is empty.
    bool take(void* head, std::size_t head_size, char* data, std::size_t capacity, std::size_t& size);
    bool empty() const;  // taking thread

private:
    std::unique_ptr<char[]> ring_;
    std::size_t capacity_;
    alignas(64) std::atomic<std::uint64_t> put_at_{0};   // written by the putting thread
    alignas(64) std::atomic<std::uint64_t> taken_at_{0}; // written by the taking thread
};
