// Gzip compression and decompression on zlib.
#include "Presets/Export/Gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace veltrane {
namespace {

std::vector<std::uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Gzip, FixedHeaderAndRoundTrips)
{
    const auto empty = Gzip::compress({});
    const std::vector<std::uint8_t> header{0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03};
    ASSERT_GE(empty.size(), header.size());
    EXPECT_TRUE(std::equal(header.begin(), header.end(), empty.begin()));
    EXPECT_TRUE(Gzip::decompress(empty).empty());

    // Past several 64 KiB output buffers, partly incompressible.
    std::mt19937 random(3);
    std::vector<std::uint8_t> big(300000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = i % 3 ? std::uint8_t(random()) : std::uint8_t(i);
    const auto packed = Gzip::compress(big);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), packed.begin()));
    EXPECT_EQ(Gzip::decompress(packed), big);
    EXPECT_EQ(Gzip::compress(big), packed); // no time stamp: equal input, equal bytes
}

TEST(Gzip, InflatesZlibDataAndIgnoresTrailingBytes)
{
    const auto original = text(std::string(5000, 'v') + "eltrane");
    uLongf size = compressBound(original.size());
    std::vector<std::uint8_t> zlibData(size);
    ASSERT_EQ(compress2(zlibData.data(), &size, original.data(), original.size(), 9), Z_OK);
    zlibData.resize(size);
    EXPECT_EQ(Gzip::decompress(zlibData), original);

    auto gz = Gzip::compress(original);
    gz.insert(gz.end(), {'j', 'u', 'n', 'k'});
    EXPECT_EQ(Gzip::decompress(gz), original);
}

TEST(Gzip, TruncatedAndCorruptInput)
{
    const auto packed = Gzip::compress(text(std::string(20000, 'x') + "end"));
    struct Case {
        std::vector<std::uint8_t> input;
        Gzip::Error expected;
    };
    const Case cases[] = {
        {{}, Gzip::Error::truncated()},
        {std::vector<std::uint8_t>(packed.begin(), packed.begin() + packed.size() / 2), Gzip::Error::truncated()},
        {std::vector<std::uint8_t>(packed.begin(), packed.end() - 4), Gzip::Error::truncated()},
        {text("hello, not compressed at all"), Gzip::Error::zlib(Z_DATA_ERROR)},
    };
    for (const Case& c : cases) {
        try {
            Gzip::decompress(c.input);
            ADD_FAILURE() << "decompressed " << c.input.size() << " bytes";
        } catch (const Gzip::Error& error) {
            EXPECT_EQ(error, c.expected) << c.input.size() << ": " << error.what();
        }
    }
    auto corrupt = packed;
    corrupt[corrupt.size() - 6] ^= 0xFF; // the CRC
    EXPECT_THROW(Gzip::decompress(corrupt), Gzip::Error);
}

} // namespace
} // namespace veltrane
