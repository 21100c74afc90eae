#pragma once
// Reading back the 24-bit PCM WAV files the engine records, and the codec's 24-bit rule written out
// independently, to compare a recording with the float samples it should hold.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

namespace veltrane::testsupport {

struct Wav {
    int channels = 0, rate = 0, bits = 0;
    std::vector<std::int32_t> samples; // interleaved
};

// Reads back a PCM WAV as this test expects it: the canonical 44-byte header.
inline std::optional<Wav> readWav(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)), {});
    if (b.size() < 44 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVEfmt ", 8) ||
        std::memcmp(b.data() + 36, "data", 4))
        return std::nullopt;
    auto u = [&](size_t at, int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) v |= std::uint32_t(b[at + i]) << (8 * i);
        return v;
    };
    const std::uint32_t data = u(40, 4);
    if (u(4, 4) != 36 + data || u(20, 2) != 1 || data + 44 != b.size()) return std::nullopt;
    Wav w{int(u(22, 2)), int(u(24, 4)), int(u(34, 2)), {}};
    if (w.bits != 24 || u(32, 2) != std::uint32_t(w.channels * 3) || u(28, 4) != std::uint32_t(w.rate * w.channels * 3))
        return std::nullopt;
    for (size_t at = 44; at + 3 <= b.size(); at += 3) {
        std::int32_t v = std::int32_t(u(at, 3) << 8) >> 8;
        w.samples.push_back(v);
    }
    return w;
}

// The codec's 24-bit rule, written out independently: clamp (NaN to 1), scale by 2^23 - 1, round
// halves away from zero.
inline std::int32_t expectedPcm24(float x)
{
    double c = std::isnan(x) ? 1.0 : std::clamp(double(x), -1.0, 1.0);
    double s = c * 8388607.0;
    return std::int32_t(s < 0 ? -std::floor(-s + 0.5) : std::floor(s + 0.5));
}

} // namespace veltrane::testsupport
