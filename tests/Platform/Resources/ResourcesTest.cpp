#include "Platform/Resources/Resources.h"

#include <gtest/gtest.h>

#include <fstream>

namespace veltrane {
namespace {
namespace fs = std::filesystem;

TEST(Resources, FindsFilesInTheRootAndItsSubfolders) {
    const fs::path dir = fs::path(testing::TempDir()) / "resources-test";
    fs::remove_all(dir);
    fs::create_directories(dir / "Tunes" / "canon.mid");  // a folder is not a resource
    std::ofstream(dir / "Tunes" / "air.mid") << "x";
    std::ofstream(dir / "top.mid") << "x";

    Resources::setRoot(dir);
    EXPECT_EQ(Resources::root(), dir);
    EXPECT_EQ(Resources::find("air", "mid", "Tunes"), dir / "Tunes" / "air.mid");
    EXPECT_EQ(Resources::find("top", "mid"), dir / "top.mid");
    EXPECT_FALSE(Resources::find("top", "mid", "Tunes"));
    EXPECT_FALSE(Resources::find("air", "mid"));
    EXPECT_FALSE(Resources::find("canon", "mid", "Tunes"));
    EXPECT_FALSE(Resources::find("air", "wav", "Tunes"));

    Resources::setRoot(std::nullopt);
    EXPECT_FALSE(Resources::root());
    EXPECT_FALSE(Resources::find("top", "mid"));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace veltrane
