#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <unistd.h>

#include "Platform/Image/Image.h"

using namespace veltrane;

TEST(ImageTest, PngRoundTripKeepsEveryChannel)
{
    Image image{5, 3, {}};
    for (int i = 0; i < 15; ++i) {
        image.bgrx.push_back(uint8_t(i * 17));
        image.bgrx.push_back(uint8_t(255 - i));
        image.bgrx.push_back(uint8_t(i * 3));
        image.bgrx.push_back(0); // ignored byte
    }
    auto path = std::filesystem::temp_directory_path() / ("veltrane-image-" + std::to_string(::getpid()) + ".png");
    writePNG(image, path);
    auto back = readPNG(path);
    std::filesystem::remove(path);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->width, 5);
    ASSERT_EQ(back->height, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            EXPECT_EQ(back->red(x, y), image.red(x, y));
            EXPECT_EQ(back->green(x, y), image.green(x, y));
            EXPECT_EQ(back->blue(x, y), image.blue(x, y));
        }
}

TEST(ImageTest, UnwritableDestinationIsReportedWithPathAndReasonAndLeavesNothing)
{
    Image image{1, 1, {1, 2, 3, 0}};
    const auto folder = std::filesystem::temp_directory_path() / ("veltrane-png-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder / "taken.png"); // a folder where the file should go
    const struct {
        std::filesystem::path path;
        const char* reason;
    } cases[] = {
        {"/nonexistent-folder/x.png", "No such file or directory"},
        {folder / "taken.png", "Is a directory"},
    };
    for (const auto& c : cases) {
        try {
            writePNG(image, c.path);
            ADD_FAILURE() << c.path;
        } catch (const PngError& error) {
            EXPECT_EQ(error.stage, PngError::Stage::destination);
            EXPECT_EQ(std::string(error.what()), "Cannot write " + c.path.string() + ": " + c.reason);
        }
    }
    EXPECT_FALSE(readPNG("/nonexistent-folder/x.png"));
    // No temporary file is left beside the destination.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
    std::filesystem::remove_all(folder);
}
