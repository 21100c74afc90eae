#include "FractalCore/RandomSource.h"

namespace veltrane {

double Mulberry32::next() noexcept
{
    state += 0x6D2B79F5u;
    std::uint32_t t = state;
    t = (t ^ (t >> 15)) * (t | 1u);
    t ^= t + (t ^ (t >> 7)) * (t | 61u);
    return static_cast<double>(t ^ (t >> 14)) / 4294967296.0;
}

SystemRandomSource::SystemRandomSource() : engine(std::random_device{}()) {}

double SystemRandomSource::next()
{
    // 53 random bits scaled into [0, 1): never 1.
    return static_cast<double>(engine() >> 11) * 0x1.0p-53;
}

} // namespace veltrane
