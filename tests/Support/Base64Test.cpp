// Base64 against RFC 4648's test vectors, and the strictness data URLs rely on.
#include "Support/Base64.h"

#include <gtest/gtest.h>

namespace veltrane {
namespace {

TEST(Base64, RfcVectorsAndStrictDecoding)
{
    const std::pair<std::string, std::string> vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : vectors) {
        const std::vector<std::uint8_t> bytes(plain.begin(), plain.end());
        EXPECT_EQ(Base64::encode(bytes), encoded);
        EXPECT_EQ(Base64::decode(encoded), bytes) << encoded;
    }
    for (const char* bad : {"Zm9", "Zm9v\n", "Zm 9v", "Zg=a", "=Zm9", "Zm9v!A==", "Z==="})
        EXPECT_FALSE(Base64::decode(bad)) << bad;
}

} // namespace
} // namespace veltrane
