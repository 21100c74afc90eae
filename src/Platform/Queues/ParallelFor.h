#pragma once
// Splits [0, count) into contiguous chunks of at least `grain` indices and runs `body(begin, end)` on
// each, one chunk on the calling thread and the others on threads of their own, and returns when all
// have finished. Counts below two grains run on the calling thread alone. The first exception a
// chunk throws is rethrown once every chunk has finished.
#include <algorithm>
#include <cstddef>
#include <exception>
#include <future>
#include <thread>
#include <vector>

namespace veltrane {

template <class Body>
void parallelFor(std::size_t count, std::size_t grain, Body&& body)
{
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t workers = std::min(cores, count / std::max<std::size_t>(grain, 1));
    if (workers <= 1) {
        if (count > 0) body(std::size_t(0), count);
        return;
    }
    const std::size_t chunk = (count + workers - 1) / workers;
    std::vector<std::future<void>> others;
    others.reserve(workers - 1);
    for (std::size_t begin = chunk; begin < count; begin += chunk) {
        const std::size_t end = std::min(count, begin + chunk);
        others.push_back(std::async(std::launch::async, [&body, begin, end] { body(begin, end); }));
    }
    std::exception_ptr error;
    try {
        body(std::size_t(0), std::min(chunk, count));
    } catch (...) {
        error = std::current_exception();
    }
    for (auto& other : others) {
        try {
            other.get();
        } catch (...) {
            if (!error) error = std::current_exception();
        }
    }
    if (error) std::rethrow_exception(error);
}

} // namespace veltrane
