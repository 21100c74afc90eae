#pragma once
// PCM WAV file images: 16- or 24-bit integer PCM written, 16/24-bit PCM and 32-bit float read.

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

namespace veltrane::WAV {

// encode's report for an image it cannot write: a size beyond the header's fields (4 GiB), a
// channel shorter than the first, or a bit depth other than 16 and 24.
class EncodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Decoded {
    std::vector<std::vector<float>> channels;
    int sampleRate = 0;
};

// The data size in bytes of an image of that shape; throws EncodeError when a header field
// cannot hold it (data past 4 GiB, a byte rate or frame size past its field, a negative rate).
uint32_t dataSize(uint64_t channels, uint64_t frames, int sampleRate, int bits);

// Channels interleaved frame by frame; every channel holds as many samples as the first.
// Samples are clamped to [-1, 1] (NaN becomes 1) and scaled by 2^(bits-1) - 1.
std::vector<uint8_t> encode(const std::vector<std::vector<float>>& channels, int sampleRate, int bits);

// Nothing for an image it cannot read safely: shorter than 45 bytes, no "RIFF", a chunk header
// cut off by the end, a short or missing format chunk, no channels, a sample rate of 0 or past
// 2^31 - 1, or sample data other than 16-bit, 24-bit PCM and 32-bit float. A data chunk running past the end is read up to the end.
std::optional<Decoded> decode(std::span<const uint8_t> image);

} // namespace veltrane::WAV
