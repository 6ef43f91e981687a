#include "station/forward_tap_queue.h"

#include <cstring>

namespace {

// Each record starts with its length (the record whole, a multiple of 8)
// and the size of its data; a record of PAD data marks the unused end of the
// ring before a wrap.
struct Lengths {
    std::uint32_t record;
    std::uint32_t data;
};
constexpr std::uint32_t PAD = 0xffffffffu;
constexpr std::size_t LENGTH_BYTES = sizeof(Lengths);

std::size_t rounded(std::size_t n)
{
    return (n + 7) & ~static_cast<std::size_t>(7);
}

}  // namespace

HandoverQueue::HandoverQueue(std::size_t capacity)
    : ring_(new char[rounded(capacity)]), capacity_(rounded(capacity))
{
}

bool HandoverQueue::put(const void* head, std::size_t head_size, const char* data, std::size_t size)
{
    const std::size_t length = rounded(LENGTH_BYTES + head_size) + rounded(size);
    const std::uint64_t at = put_at_.load(std::memory_order_relaxed);
    const std::uint64_t taken = taken_at_.load(std::memory_order_acquire);
    const std::size_t offset = at % capacity_;
    const std::size_t to_end = capacity_ - offset;
    const std::size_t skip = to_end < length ? to_end : 0;
    if (capacity_ - (at - taken) < skip + length)
        return false;
    std::uint64_t start = at;
    if (skip != 0) {
        const Lengths pad = {static_cast<std::uint32_t>(skip), PAD};
        std::memcpy(ring_.get() + offset, &pad, LENGTH_BYTES);
        start += skip;
    }
    char* p = ring_.get() + start % capacity_;
    const Lengths lengths = {static_cast<std::uint32_t>(length), static_cast<std::uint32_t>(size)};
    std::memcpy(p, &lengths, LENGTH_BYTES);
    std::memcpy(p + LENGTH_BYTES, head, head_size);
    if (size != 0)
        std::memcpy(p + rounded(LENGTH_BYTES + head_size), data, size);
    put_at_.store(start + length, std::memory_order_release);
    return true;
}

bool HandoverQueue::empty() const
{
    return taken_at_.load(std::memory_order_relaxed) == put_at_.load(std::memory_order_acquire);
}

bool HandoverQueue::take(void* head, std::size_t head_size, char* data, std::size_t capacity,
                         std::size_t& size)
{
    std::uint64_t at = taken_at_.load(std::memory_order_relaxed);
    const std::uint64_t end = put_at_.load(std::memory_order_acquire);
    if (at == end)
        return false;
    Lengths lengths;
    std::memcpy(&lengths, ring_.get() + at % capacity_, LENGTH_BYTES);
    if (lengths.data == PAD) {
        at += lengths.record;
        std::memcpy(&lengths, ring_.get() + at % capacity_, LENGTH_BYTES);
    }
    const char* p = ring_.get() + at % capacity_;
    std::memcpy(head, p + LENGTH_BYTES, head_size);
    size = lengths.data < capacity ? lengths.data : capacity;
    if (size != 0)
        std::memcpy(data, p + rounded(LENGTH_BYTES + head_size), size);
    taken_at_.store(at + lengths.record, std::memory_order_release);
    return true;
}
