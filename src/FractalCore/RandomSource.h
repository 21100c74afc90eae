#pragma once
// Sources of doubles in [0, 1). Mulberry32 is seeded and reproducible (movement engines draw from it);
// SystemRandomSource is not.
#include <cstdint>
#include <random>

namespace veltrane {

class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual double next() = 0;
};

class Mulberry32 final : public RandomSource {
public:
    explicit Mulberry32(std::uint32_t seed) noexcept : state(seed) {}
    double next() noexcept override;

    std::uint32_t state;
};

class SystemRandomSource final : public RandomSource {
public:
    SystemRandomSource();
    double next() override;

private:
    std::mt19937_64 engine;
};

} // namespace veltrane
