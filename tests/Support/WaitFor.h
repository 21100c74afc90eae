#pragma once
// Polls a condition that another thread (an audio callback, a worker) makes true.
#include <chrono>
#include <functional>
#include <thread>

namespace veltrane::testsupport {

// True once `done` returns true; false when `seconds` pass first.
inline bool waitFor(const std::function<bool()>& done, double seconds = 20)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace veltrane::testsupport
