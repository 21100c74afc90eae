#include "Support/Base64.h"

#include <gtest/gtest.h>

using namespace veltrane;

// The test vectors of RFC 4648, section 10, and every byte value.
TEST(Base64, EncodesTheStandardVectorsAndReadsThemBack)
{
    const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(Base64::encode(bytes), text);
        EXPECT_EQ(Base64::decode(text), bytes);
    }
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(Base64::decode(Base64::encode(all)), all);
    EXPECT_EQ(Base64::encode("\xfb\xff"), "+/8=");
}

TEST(Base64, RefusesEverythingButTheOneEncoding)
{
    for (const char* text : {"Zg=", "Zg", "Zh==", "Zm9=", "Z===", "====", "Zg==Zg==", "Zm 9v", "Zm9v\n", "Zm-_", "Zg=a",
                             "=Zm9", "Zm9v!A=="}) {
        EXPECT_FALSE(Base64::decode(text)) << text;
        EXPECT_FALSE(Base64::decodeBytes(text)) << text;
    }
}

// Pictures travel as bytes.
TEST(Base64, BytesTakeTheSameText)
{
    const std::vector<std::uint8_t> bytes{0x89, 'P', 'N', 'G', 0, 0xff};
    EXPECT_EQ(Base64::encode(bytes), Base64::encode(std::string_view("\x89PNG\0\xff", 6)));
    EXPECT_EQ(Base64::decodeBytes(Base64::encode(bytes)), bytes);
}
