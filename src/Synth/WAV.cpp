#include "Synth/WAV.h"

#include "Platform/Dsp/Pcm.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace veltrane::WAV {

namespace {

void put32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i) out.push_back((uint8_t)(v >> (8 * i)));
}
void put16(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back((uint8_t)v);
    out.push_back((uint8_t)(v >> 8));
}
void putTag(std::vector<uint8_t>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

uint32_t get32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }
uint16_t get16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

constexpr uint16_t kFormatPCM = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;

} // namespace

uint32_t dataSize(uint64_t c, uint64_t frames, int sampleRate, int bits)
{
    if (bits != 16 && bits != 24) throw EncodeError("WAV bit depth must be 16 or 24");
    const uint64_t b = (uint64_t)bits / 8;
    if (c >= 65536 || c * b > 0xFFFF) throw EncodeError("WAV has too many channels");
    if (sampleRate < 0 || (uint64_t)sampleRate * c * b > 0xFFFFFFFFu) throw EncodeError("WAV sample rate out of range");
    // frames is checked alone first so that c * frames * b cannot wrap around.
    if (frames > 0xFFFFFFFFu || c * frames * b > 0xFFFFFFFFu - 36) throw EncodeError("WAV image would exceed 4 GiB");
    return (uint32_t)(c * frames * b);
}

std::vector<uint8_t> encode(const std::vector<std::vector<float>>& channels, int sampleRate, int bits)
{
    const uint64_t c = channels.size();
    const uint64_t frames = channels.empty() ? 0 : channels[0].size();
    const uint32_t d = dataSize(c, frames, sampleRate, bits);
    const uint64_t b = (uint64_t)bits / 8;
    for (const std::vector<float>& ch : channels)
        if (ch.size() < frames) throw EncodeError("WAV channels differ in length");

    std::vector<uint8_t> out;
    out.reserve(44 + (size_t)d);
    putTag(out, "RIFF");
    put32(out, 36 + d);
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    put32(out, 16);
    put16(out, kFormatPCM);
    put16(out, (uint32_t)c);
    put32(out, (uint32_t)sampleRate);
    put32(out, (uint32_t)((uint64_t)sampleRate * c * b));
    put16(out, (uint32_t)(c * b));
    put16(out, (uint32_t)bits);
    putTag(out, "data");
    put32(out, d);

    for (uint64_t i = 0; i < frames; ++i) {
        for (const std::vector<float>& ch : channels) {
            const long v = dsp::pcmInteger(ch[i], bits);
            if (bits == 16) {
                put16(out, (uint32_t)(uint16_t)(int16_t)v);
            } else {
                const uint32_t u = (uint32_t)v;
                out.push_back((uint8_t)u);
                out.push_back((uint8_t)(u >> 8));
                out.push_back((uint8_t)(u >> 16));
            }
        }
    }
    return out;
}

std::optional<Decoded> decode(std::span<const uint8_t> image)
{
    const uint8_t* data = image.data();
    const uint64_t size = image.size();
    if (size < 45 || std::memcmp(data, "RIFF", 4) != 0) return std::nullopt;

    bool haveFormat = false;
    uint16_t tag = 0, channels = 0, bits = 0;
    uint32_t rate = 0;
    uint64_t pos = 12;
    uint64_t dataStart = 0, dataBytes = 0;
    for (;;) {
        if (pos + 8 > size) return std::nullopt; // chunk header cut off
        const uint8_t* chunk = data + pos;
        const uint64_t chunkSize = get32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (chunkSize < 16 || pos + 8 + 16 > size) return std::nullopt;
            tag = get16(chunk + 8);
            channels = get16(chunk + 10);
            rate = get32(chunk + 12);
            bits = get16(chunk + 22);
            // The extensible format keeps its real format code at the start of its sub-format id.
            if (tag == kFormatExtensible && chunkSize >= 40 && pos + 8 + 26 <= size) tag = get16(chunk + 32);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            dataStart = pos + 8;
            dataBytes = chunkSize;
            break;
        }
        pos += 8 + chunkSize + (chunkSize & 1);
    }
    if (!haveFormat || channels == 0) return std::nullopt;
    const bool pcm16 = bits == 16;
    const bool pcm24 = bits == 24; // read as integers whatever the format tag says
    const bool float32 = bits == 32 && tag == kFormatFloat;
    if (!pcm16 && !pcm24 && !float32) return std::nullopt;
    if (rate == 0 || rate > (uint32_t)std::numeric_limits<int>::max()) return std::nullopt;

    const uint64_t bytes = bits / 8;
    const uint64_t frameBytes = channels * bytes;
    if (dataStart > size) dataStart = size;
    if (dataBytes > size - dataStart) dataBytes = size - dataStart; // a recording cut short
    const uint64_t frames = dataBytes / frameBytes;

    Decoded out;
    out.sampleRate = (int)rate;
    out.channels.assign(channels, std::vector<float>(frames));
    const uint8_t* p = data + dataStart;
    for (uint64_t i = 0; i < frames; ++i) {
        for (uint16_t c = 0; c < channels; ++c, p += bytes) {
            float x;
            if (pcm16) {
                x = (float)(int16_t)get16(p) / 32768.0f;
            } else if (float32) {
                const uint32_t u = get32(p);
                std::memcpy(&x, &u, 4);
            } else {
                const int32_t v = (int32_t)((uint32_t)p[0] << 8 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 24) >> 8;
                x = (float)v / 8388608.0f;
            }
            out.channels[c][i] = x;
        }
    }
    return out;
}

} // namespace veltrane::WAV
