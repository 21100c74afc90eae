#pragma once
// The output's queue of messages waiting for their time: a single-producer single-consumer ring the
// sender fills, and a time-ordered heap only the consumer (JACK's process callback or the scheduler
// thread) touches. Both are allocated once; pushing and consuming allocate, lock and wait for nothing.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

namespace veltrane::midiqueue {

struct Message {
    std::uint64_t time = 0;  // host time, 0 = at once
    std::uint64_t order = 0; // position in the ring: equal times leave in the order they were sent
    std::uint8_t bytes[3] = {};
    std::uint8_t size = 0;
};

class TimedMidiQueue {
public:
    explicit TimedMidiQueue(std::size_t capacity)
        : ring_(std::bit_ceil(std::max<std::size_t>(capacity, 16))), mask_(ring_.size() - 1)
    {
        heap_.reserve(ring_.size());
    }

    // Producer.
    bool push(std::uint64_t time, const std::uint8_t* bytes, std::uint8_t size) noexcept
    {
        const std::uint64_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) >= ring_.size()) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        Message& m = ring_[head & mask_];
        m.time = time;
        m.order = head;
        m.size = size;
        std::copy(bytes, bytes + size, m.bytes);
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    // Producer: everything pushed so far is dropped by the consumer, whether in the ring or the heap.
    void cancel() noexcept { cancelAt_.store(head_.load(std::memory_order_relaxed), std::memory_order_release); }
    std::uint64_t pushed() const noexcept { return head_.load(std::memory_order_acquire); }
    bool hasUnread() const noexcept
    {
        return head_.load(std::memory_order_acquire) != tail_.load(std::memory_order_acquire);
    }

    // Consumer: moves what was pushed into the time order.
    void drain() noexcept
    {
        const std::uint64_t cancelAt = cancelAt_.load(std::memory_order_acquire);
        if (cancelAt != seenCancel_) {
            seenCancel_ = cancelAt;
            heap_.clear();
        }
        const std::uint64_t head = head_.load(std::memory_order_acquire);
        std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        for (; tail != head; ++tail) {
            const Message& m = ring_[tail & mask_];
            if (m.order < seenCancel_) continue;
            if (heap_.size() == heap_.capacity()) {
                dropped_.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            heap_.push_back(m);
            std::push_heap(heap_.begin(), heap_.end(), later);
        }
        tail_.store(tail, std::memory_order_release);
        publishEarliest();
    }
    const Message* top() const noexcept { return heap_.empty() ? nullptr : &heap_.front(); }
    void pop() noexcept
    {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        heap_.pop_back();
        publishEarliest();
    }

    // Any thread: the time of the earliest message the consumer holds (max when none), and how many
    // pushes it has taken in.
    std::uint64_t earliest() const noexcept { return earliest_.load(std::memory_order_acquire); }
    std::uint64_t taken() const noexcept { return tail_.load(std::memory_order_acquire); }
    std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

private:
    static bool later(const Message& a, const Message& b) noexcept
    {
        return a.time != b.time ? a.time > b.time : a.order > b.order;
    }
    void publishEarliest() noexcept
    {
        earliest_.store(heap_.empty() ? std::numeric_limits<std::uint64_t>::max() : heap_.front().time,
                        std::memory_order_release);
    }

    std::vector<Message> ring_;
    std::size_t mask_;
    std::atomic<std::uint64_t> head_{0}, tail_{0}, cancelAt_{0}, earliest_{std::numeric_limits<std::uint64_t>::max()};
    std::atomic<std::uint64_t> dropped_{0};
    std::vector<Message> heap_; // consumer only; never grows past its reserve
    std::uint64_t seenCancel_ = 0;
};

} // namespace veltrane::midiqueue
