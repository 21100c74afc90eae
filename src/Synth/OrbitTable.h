#pragma once
// An orbit turned into the harmonic tables of the kernel's orbit voice.

#include <array>
#include <span>
#include <utility>

#include "FractalCore/Orbits.h"

namespace veltrane::OrbitTable {

inline constexpr int harmonics = 128; // length of each table
inline constexpr int used = 48;       // orbit points used at most

using Table = std::array<float, harmonics>;

// Points are x, y interleaved. Only points actually present are used: `length` is trusted no
// further than points.size() / 2. Fewer than two points give a pure sine (re[1] = 1).
std::pair<Table, Table> make(std::span<const double> points, long length);

// The orbit's own points and length.
std::pair<Table, Table> make(const Orbits::Centre& orbit);

// Scales both tables so that the waveform they describe peaks at 1 (over 1024 phases).
void normalise(Table& re, Table& im);

} // namespace veltrane::OrbitTable
