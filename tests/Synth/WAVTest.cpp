// WAV images. Built with AddressSanitizer together with the codec, so a read outside an image fails.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "Synth/WAV.h"

using namespace veltrane;

namespace {

uint32_t u32(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}
int16_t s16(const std::vector<uint8_t>& b, size_t at) { return (int16_t)(b[at] | b[at + 1] << 8); }
void set32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) b[at + i] = (uint8_t)(v >> (8 * i));
}
void set16(std::vector<uint8_t>& b, size_t at, uint16_t v)
{
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}
void append(std::vector<uint8_t>& b, const char* tag, uint32_t size)
{
    b.insert(b.end(), tag, tag + 4);
    for (int i = 0; i < 4; ++i) b.push_back((uint8_t)(size >> (8 * i)));
}

} // namespace

TEST(WAV, HeaderOfTwoChannelsOfThreeSamples)
{
    const std::vector<uint8_t> image = WAV::encode({{0, 0, 0}, {0, 0, 0}}, 48000, 16);
    ASSERT_EQ(image.size(), 56u);
    EXPECT_EQ(std::memcmp(image.data(), "RIFF", 4), 0);
    EXPECT_EQ(u32(image, 4), 48u);
    EXPECT_EQ(std::memcmp(image.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(u32(image, 16), 16u);
    EXPECT_EQ(s16(image, 20), 1);
    EXPECT_EQ(s16(image, 22), 2);
    EXPECT_EQ(u32(image, 24), 48000u);
    EXPECT_EQ(u32(image, 28), 48000u * 2 * 2);
    EXPECT_EQ(s16(image, 32), 4);
    EXPECT_EQ(s16(image, 34), 16);
    EXPECT_EQ(std::memcmp(image.data() + 36, "data", 4), 0);
    EXPECT_EQ(u32(image, 40), 12u);
}

TEST(WAV, SamplesAreClampedScaledAndRoundedAwayFromZero)
{
    const std::vector<uint8_t> image = WAV::encode({{1.5f, -1.5f, 0.5f, -0.5f, NAN, 0.0f}}, 44100, 16);
    const int16_t expected[] = {32767, -32767, 16384, -16384, 32767, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(s16(image, 44 + 2 * i), expected[i]) << i;

    const std::vector<uint8_t> deep = WAV::encode({{1.0f, -1.0f}}, 48000, 24);
    ASSERT_EQ(deep.size(), 50u);
    EXPECT_EQ(u32(deep, 28), 48000u * 3);
    EXPECT_EQ(deep[44] | deep[45] << 8 | deep[46] << 16, 0x7FFFFF);
    EXPECT_EQ(deep[47] | deep[48] << 8 | deep[49] << 16, 0x800001);
}

TEST(WAV, RoundTrips)
{
    std::vector<float> left(1000), right(1000);
    for (int i = 0; i < 1000; ++i) {
        left[i] = std::sin(i * 0.05f) * 0.9f;
        right[i] = (float)i / 1000.0f - 0.5f;
    }
    for (int bits : {16, 24}) {
        const auto decoded = WAV::decode(WAV::encode({left, right}, 96000, bits));
        ASSERT_TRUE(decoded) << bits;
        EXPECT_EQ(decoded->sampleRate, 96000);
        ASSERT_EQ(decoded->channels.size(), 2u);
        const double step = 2.0 / (std::ldexp(1.0, bits - 1) - 1); // scale 2^(b-1)-1 out, 2^(b-1) back
        for (int i = 0; i < 1000; ++i) {
            ASSERT_NEAR(decoded->channels[0][i], left[i], step) << bits;
            ASSERT_NEAR(decoded->channels[1][i], right[i], step) << bits;
        }
    }
    const auto none = WAV::decode(WAV::encode({}, 48000, 16));
    EXPECT_FALSE(none); // 44 bytes
}

TEST(WAV, EncodeReportsWhatItCannotWrite)
{
    EXPECT_THROW(WAV::encode({{0, 0, 0}, {0, 0}}, 48000, 16), WAV::EncodeError); // shorter channel
    EXPECT_THROW(WAV::encode({{0}}, 48000, 8), WAV::EncodeError);
    EXPECT_THROW(WAV::encode({{0}}, 48000, 32), WAV::EncodeError);
    EXPECT_THROW(WAV::encode({{0}}, -1, 16), WAV::EncodeError);
    EXPECT_THROW(WAV::encode(std::vector<std::vector<float>>(65536), 48000, 16), WAV::EncodeError);
    EXPECT_EQ(WAV::dataSize(2, (0xFFFFFFFFull - 36) / 4, 48000, 16), 0xFFFFFFFFu - 39);
    EXPECT_THROW(WAV::dataSize(2, (0xFFFFFFFFull - 36) / 4 + 1, 48000, 16), WAV::EncodeError); // past 4 GiB
    EXPECT_THROW(WAV::dataSize(3, 1ull << 62, 48000, 24), WAV::EncodeError);                   // would wrap in 64 bits
    EXPECT_THROW(WAV::dataSize(16, 1, 2000000000, 24), WAV::EncodeError);                      // byte rate
    EXPECT_THROW(WAV::dataSize(30000, 1, 48000, 24), WAV::EncodeError);                        // bytes per frame
}

TEST(WAV, Decodes24BitExtremesAndFloat)
{
    std::vector<uint8_t> image = WAV::encode({{0.0f, 0.0f}}, 48000, 24);
    image[44] = 0x00, image[45] = 0x00, image[46] = 0x80;
    image[47] = 0xFF, image[48] = 0xFF, image[49] = 0x7F;
    const auto decoded = WAV::decode(image);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->channels[0][0], -1.0f);
    EXPECT_EQ(decoded->channels[0][1], 8388607.0f / 8388608.0f);
    set16(image, 20, 3); // 24-bit samples are integers whatever the format tag claims
    const auto tagged = WAV::decode(image);
    ASSERT_TRUE(tagged);
    EXPECT_EQ(tagged->channels, decoded->channels);

    // 32-bit float, with an odd-sized chunk before the data (padded to even).
    std::vector<uint8_t> f;
    append(f, "RIFF", 0);
    f.insert(f.end(), {'W', 'A', 'V', 'E'});
    append(f, "fmt ", 16);
    for (uint16_t v : {3, 1}) f.insert(f.end(), {(uint8_t)v, (uint8_t)(v >> 8)});
    for (uint32_t v : {22050u, 22050u * 4})
        f.insert(f.end(), {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)});
    f.insert(f.end(), {4, 0, 32, 0});
    append(f, "LIST", 3);
    f.insert(f.end(), {1, 2, 3, 0});
    append(f, "data", 8);
    const float samples[2] = {0.25f, -2.5f};
    f.insert(f.end(), (const uint8_t*)samples, (const uint8_t*)samples + 8);
    const auto floats = WAV::decode(f);
    ASSERT_TRUE(floats);
    EXPECT_EQ(floats->sampleRate, 22050);
    EXPECT_EQ(floats->channels[0], (std::vector<float>{0.25f, -2.5f}));
}

TEST(WAV, DecodeRejectsImagesItCannotReadSafely)
{
    const std::vector<uint8_t> good = WAV::encode({{0.1f, 0.2f, 0.3f}, {0.4f, 0.5f, 0.6f}}, 48000, 16);
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
    };
    std::vector<Case> cases;
    {
        auto b = good;
        b[0] = 'X';
        cases.push_back({"no RIFF", b});
    }
    {
        // An unknown chunk whose successor's header would start in the last 4 bytes.
        std::vector<uint8_t> b(good.begin(), good.begin() + 12);
        append(b, "JUNK", 30);
        b.resize(b.size() + 30 + 4, 0);
        cases.push_back({"header in the last bytes", b});
    }
    {
        std::vector<uint8_t> b(good.begin(), good.begin() + 12);
        append(b, "fmt ", 8);
        b.insert(b.end(), good.begin() + 20, good.begin() + 28);
        b.insert(b.end(), good.begin() + 36, good.end());
        cases.push_back({"short fmt chunk", b});
    }
    {
        std::vector<uint8_t> b(good.begin(), good.begin() + 12);
        b.insert(b.end(), good.begin() + 36, good.end());
        b.resize(60, 0);
        cases.push_back({"missing fmt chunk", b});
    }
    {
        auto b = good;
        set16(b, 22, 0);
        cases.push_back({"zero channels", b});
    }
    {
        auto b = good;
        set32(b, 24, 0);
        cases.push_back({"zero sample rate", b});
    }
    {
        auto b = good;
        set16(b, 34, 8);
        cases.push_back({"8-bit", b});
    }
    {
        auto b = good;
        set16(b, 34, 32);
        cases.push_back({"32-bit integer", b});
    }
    {
        auto b = good;
        set32(b, 16, 0xFFFFFFF0u);
        cases.push_back({"huge fmt size", b});
    }
    {
        auto b = good;
        b.resize(44);
        cases.push_back({"44 bytes", b});
    }
    for (const Case& c : cases) EXPECT_FALSE(WAV::decode(c.image)) << c.name;

    // A data chunk claiming more than the image holds is read up to the end, whole frames only.
    auto cut = good;
    set32(cut, 40, 1000);
    cut.resize(cut.size() - 1);
    const auto partial = WAV::decode(cut);
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->channels[0].size(), 2u);

    // Every truncation of a valid image decodes or refuses without reading past its end.
    for (size_t n = 0; n <= good.size(); ++n) {
        std::vector<uint8_t> prefix(good.begin(), good.begin() + n);
        (void)WAV::decode(prefix);
    }
}
