#pragma once
// SpscRing: a bounded queue of trivially copyable values between one producer thread and one
// consumer thread, without locks. The exchanges with the audio thread go through it (kernel events,
// microphone samples, recorded frames).
//
// Contract:
// - Construction allocates every slot (the capacity asked for, rounded up to a power of two). Nothing
//   allocates, locks, waits or makes a system call afterwards: either side may be real-time code.
// - Producer thread only: push, pushSome, writeBegin, writeEnd, slotAt, writeTo.
// - Consumer thread only: pop, readBegin, readEnd, at, readTo, discardAll.
// - Any thread: capacity, pushedCount, poppedCount (snapshots, for statistics and tests).
// - reset and destruction: only while neither side runs.
// - A role may move to another thread only across a synchronisation (a thread's start or join, a
//   release/acquire pair), never while the old thread may still call.
// - A full ring refuses what does not fit (push returns false, pushSome takes what fits); the caller
//   decides whether that is a drop or a retry. Nothing is ever overwritten.
//
// Positions are 64-bit counts that only grow; a slot is position & (capacity - 1). The producer
// writes slots, then publishes them with a release store of its position, which the consumer loads
// with acquire; the consumer frees slots the same way the other way round. Both positions sit on
// cache lines of their own so that the two threads do not share one.
//
// Batches: a side that handles many values at once takes its positions once, works on the slots
// between them, and publishes once:
//   const auto end = ring.readEnd();                  // what the producer published so far
//   auto r = ring.readBegin();
//   while (r < end && wanted(ring.at(r))) ++r;
//   ring.readTo(r);                                   // frees the slots before r
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <type_traits>

namespace veltrane {

template <class T>
class SpscRing {
    static_assert(std::is_trivially_copyable_v<T> && std::is_default_constructible_v<T>,
                  "values are copied into and out of slots that live as long as the ring");
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "a hidden lock would reach the audio thread");

public:
    // Throws std::bad_alloc (or std::length_error for a capacity beyond 2^62).
    explicit SpscRing(std::size_t minimumCapacity)
        : mask_(roundUp(minimumCapacity) - 1), slots_(std::make_unique<T[]>(mask_ + 1))
    {}
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    std::size_t capacity() const noexcept { return mask_ + 1; }

    // ---- producer ----
    std::uint64_t writeBegin() const noexcept { return write_.load(std::memory_order_relaxed); }
    // One past the last slot the producer may write: the consumer's position plus the capacity.
    std::uint64_t writeEnd() const noexcept { return read_.load(std::memory_order_acquire) + capacity(); }
    T& slotAt(std::uint64_t position) noexcept { return slots_[position & mask_]; }
    // Publishes the slots before `position` (at most writeEnd()).
    void writeTo(std::uint64_t position) noexcept { write_.store(position, std::memory_order_release); }

    bool push(const T& value) noexcept
    {
        const std::uint64_t w = writeBegin();
        if (w == writeEnd()) return false;
        slotAt(w) = value;
        writeTo(w + 1);
        return true;
    }

    // Pushes the first values that fit, in order; returns how many.
    std::size_t pushSome(const T* values, std::size_t count) noexcept
    {
        const std::uint64_t w = writeBegin();
        const std::uint64_t space = writeEnd() - w;
        const std::size_t n = count < space ? count : static_cast<std::size_t>(space);
        for (std::size_t i = 0; i < n; ++i) slotAt(w + i) = values[i];
        writeTo(w + n);
        return n;
    }

    // ---- consumer ----
    std::uint64_t readBegin() const noexcept { return read_.load(std::memory_order_relaxed); }
    // One past the last slot the producer has published.
    std::uint64_t readEnd() const noexcept { return write_.load(std::memory_order_acquire); }
    const T& at(std::uint64_t position) const noexcept { return slots_[position & mask_]; }
    // Frees the slots before `position` (at most readEnd()).
    void readTo(std::uint64_t position) noexcept { read_.store(position, std::memory_order_release); }
    void discardAll() noexcept { readTo(readEnd()); }

    bool pop(T& value) noexcept
    {
        const std::uint64_t r = readBegin();
        if (r == readEnd()) return false;
        value = at(r);
        readTo(r + 1);
        return true;
    }

    // ---- any thread ----
    std::uint64_t pushedCount() const noexcept { return write_.load(std::memory_order_acquire); }
    std::uint64_t poppedCount() const noexcept { return read_.load(std::memory_order_acquire); }

    // Empty again, as constructed (the slots keep their contents, which nothing reads).
    void reset() noexcept
    {
        write_.store(0, std::memory_order_relaxed);
        read_.store(0, std::memory_order_relaxed);
    }

private:
    static std::size_t roundUp(std::size_t n)
    {
        std::size_t size = 1;
        while (size < n) {
            if (size > (std::size_t{1} << 61)) throw std::length_error("SpscRing capacity");
            size <<= 1;
        }
        return size;
    }

    std::size_t mask_;
    std::unique_ptr<T[]> slots_;
    alignas(64) std::atomic<std::uint64_t> write_{0};
    alignas(64) std::atomic<std::uint64_t> read_{0}; // the alignment also pads the ring to a whole line
};

} // namespace veltrane
