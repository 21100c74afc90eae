#include <gtest/gtest.h>

#include <filesystem>

#include "RendererFixture.h"

using namespace veltrane;
using veltrane::testing::RendererTest;

TEST_F(RendererTest, StillsOfEveryFormulaAndPaletteAreDeterministic)
{
    auto palettes = allCases<Palette>;
    auto types = allCases<FractalType>;
    // Every palette and every formula at least once, each still rendered twice by two renderers.
    FractalRenderer second(device);
    for (size_t i = 0; i < palettes.size(); ++i) {
        RenderView view = homeView(types[i % types.size()], 128, palettes[i]);
        view.colourShift = 0.1 * double(i);
        Image a = renderer->renderStill(view, 96, 64);
        Image b = second.renderStill(view, 96, 64);
        ASSERT_EQ(a.bgrx, b.bgrx) << toText(view.type) << " " << toText(view.palette);
        // Something is drawn: the picture is not one flat colour.
        uint8_t lo = 255, hi = 0;
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 96; ++x) {
                lo = std::min(lo, a.green(x, y));
                hi = std::max(hi, a.green(x, y));
            }
        EXPECT_GT(hi - lo, 20) << toText(view.type) << " " << toText(view.palette);
    }
}

TEST_F(RendererTest, SupersampledStillsAverageAtMostSixteenSamples)
{
    RenderView view = homeView(FractalType::mandelbrot, 128);
    Image single = renderer->renderStill(view, 64, 48);
    EXPECT_EQ(renderer->stats().samples, 0);
    EXPECT_FALSE(renderer->synchronousReferences);
    Image averaged = renderer->renderStill(view, 64, 48, PostSettings{}, AudioVisuals{}, 0, 40);
    EXPECT_EQ(renderer->stats().samples, 16);
    EXPECT_EQ(averaged.width, 64);
    // Averaging softens the boundary but keeps the picture.
    int differing = 0;
    for (size_t i = 0; i < single.bgrx.size(); i += 4) differing += single.bgrx[i + 1] != averaged.bgrx[i + 1];
    EXPECT_GT(differing, 0);
    EXPECT_LT(differing, 64 * 48);
}

TEST_F(RendererTest, LinearStillsAreUnclampedFloats)
{
    std::vector<float> pixels = renderer->renderStillLinear(homeView(FractalType::julia, 128), 40, 30);
    ASSERT_EQ(pixels.size(), size_t(40 * 30 * 4));
    float maxValue = 0;
    for (float v : pixels) {
        ASSERT_TRUE(std::isfinite(v));
        maxValue = std::max(maxValue, v);
    }
    EXPECT_GT(maxValue, 0.1f);
    EXPECT_FALSE(renderer->synchronousReferences);
}

TEST_F(RendererTest, WritePngCreatesMissingFolders)
{
    Image image = renderer->renderStill(homeView(FractalType::newton, 64, Palette::candy), 32, 24);
    auto folder = std::filesystem::temp_directory_path() / ("veltrane-png-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    auto path = folder / "nested" / "still.png";
    FractalRenderer::writePNG(image, path);
    auto back = readPNG(path);
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, 32);
    EXPECT_EQ(back->bgrx[4 * 10 + 2], image.bgrx[4 * 10 + 2]);
}

namespace {

double meanGreen(const Image& image, int x0, int y0, int x1, int y1)
{
    double sum = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) sum += image.green(x, y);
    return sum / double((x1 - x0) * (y1 - y0));
}

} // namespace

TEST_F(RendererTest, PostSettingsAndSoundReachThePicture)
{
    RenderView view = homeView(FractalType::mandelbrot, 128, Palette::aurora);
    PostSettings plain;
    plain.bloom = 0;
    plain.grain = 0;
    plain.vignette = 0;
    Image base = renderer->renderStill(view, 96, 64, plain);

    PostSettings vignetted = plain;
    vignetted.vignette = 1;
    Image dark = renderer->renderStill(view, 96, 64, vignetted);
    EXPECT_LT(meanGreen(dark, 0, 0, 8, 8), meanGreen(base, 0, 0, 8, 8) * 0.8) << "corners darken";
    EXPECT_NEAR(meanGreen(dark, 44, 28, 52, 36), meanGreen(base, 44, 28, 52, 36), 2.0) << "the centre keeps its light";

    PostSettings glowing = plain;
    glowing.bloom = 1;
    EXPECT_GT(meanGreen(renderer->renderStill(view, 96, 64, glowing), 0, 0, 96, 64), meanGreen(base, 0, 0, 96, 64) + 1);

    AudioVisuals loud;
    loud.amplitude = 1;
    loud.transientPulse = 1;
    EXPECT_GT(meanGreen(renderer->renderStill(view, 96, 64, plain, loud), 0, 0, 96, 64),
              meanGreen(base, 0, 0, 96, 64) + 1);
}
