#include "Platform/Resources/Resources.h"

#include <gtest/gtest.h>

#include <fstream>

namespace veltrane {
namespace {
namespace fs = std::filesystem;

TEST(Resources, FindsFilesInTheRootAndItsSubfolders)
{
    const fs::path dir = fs::path(testing::TempDir()) / "resources-test";
    fs::remove_all(dir);
    fs::create_directories(dir / "Tunes" / "canon.mid"); // a folder is not a resource
    std::ofstream(dir / "Tunes" / "air.mid") << "x";
    std::ofstream(dir / "top.mid") << "x";

    Resources::setRoot(dir);
    EXPECT_EQ(Resources::root(), dir);
    EXPECT_EQ(Resources::find("air.mid", "Tunes"), dir / "Tunes" / "air.mid");
    EXPECT_EQ(Resources::find("top.mid", "Tunes"), dir / "top.mid"); // the root after the subfolder
    EXPECT_EQ(Resources::find("top.mid"), dir / "top.mid");
    EXPECT_FALSE(Resources::find("air.mid"));
    EXPECT_FALSE(Resources::find("canon.mid", "Tunes"));
    EXPECT_FALSE(Resources::find("air.wav", "Tunes"));
    EXPECT_EQ(Resources::readText(dir / "top.mid"), "x");
    EXPECT_FALSE(Resources::readText(dir / "none"));

    Resources::setRoot({}); // back to the folder beside the executable
    EXPECT_NE(Resources::root(), dir);
    fs::remove_all(dir);
}

} // namespace
} // namespace veltrane
