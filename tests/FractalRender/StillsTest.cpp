#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <vector>

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

namespace {

// An image of linear colours, rows from the top, read with clamped edges.
struct Plane {
    int width = 0, height = 0;
    std::vector<std::array<double, 3>> texels;

    Plane(int w, int h) : width(w), height(h), texels(size_t(w) * size_t(h)) {}
    std::array<double, 3>& at(int x, int y) { return texels[size_t(y) * size_t(width) + size_t(x)]; }
    const std::array<double, 3>& clamped(int x, int y) const
    {
        x = std::clamp(x, 0, width - 1);
        y = std::clamp(y, 0, height - 1);
        return texels[size_t(y) * size_t(width) + size_t(x)];
    }
    // A linear-filtered read at texture coordinates (u, v).
    std::array<double, 3> sample(double u, double v) const
    {
        double x = u * width - 0.5, y = v * height - 0.5;
        int x0 = int(std::floor(x)), y0 = int(std::floor(y));
        double fx = x - x0, fy = y - y0;
        std::array<double, 3> c{};
        for (int k = 0; k < 3; ++k)
            c[size_t(k)] = (clamped(x0, y0)[size_t(k)] * (1 - fx) + clamped(x0 + 1, y0)[size_t(k)] * fx) * (1 - fy) +
                           (clamped(x0, y0 + 1)[size_t(k)] * (1 - fx) + clamped(x0 + 1, y0 + 1)[size_t(k)] * fx) * fy;
        return c;
    }
};

// The bright light of `in` at an output of w x h: the mean of four linear reads one input texel off
// each output texel's centre, kept above a soft threshold.
Plane brightPass(const Plane& in, int w, int h, double threshold, double knee)
{
    Plane out(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double u = (x + 0.5) / w, v = (y + 0.5) / h, du = 1.0 / in.width, dv = 1.0 / in.height;
            std::array<double, 3> c{};
            for (auto [sx, sy] : {std::pair{-1, -1}, {1, -1}, {-1, 1}, {1, 1}}) {
                auto t = in.sample(u + sx * du, v + sy * dv);
                for (size_t k = 0; k < 3; ++k) c[k] += t[k] / 4;
            }
            double l = 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
            double soft = std::clamp(l - threshold + knee, 0.0, 2 * knee);
            soft = soft * soft / (4 * knee + 1e-5);
            double weight = std::max(soft, l - threshold) / std::max(l, 1e-5);
            for (size_t k = 0; k < 3; ++k) out.at(x, y)[k] = c[k] * weight;
        }
    return out;
}

// One 9-tap Gaussian blur along x (dx = 1) or y, edges clamped.
Plane blurPass(const Plane& in, int dx, int dy)
{
    const double weights[5] = {924.0 / 4070, 792.0 / 4070, 495.0 / 4070, 220.0 / 4070, 66.0 / 4070};
    Plane out(in.width, in.height);
    for (int y = 0; y < in.height; ++y)
        for (int x = 0; x < in.width; ++x)
            for (size_t k = 0; k < 3; ++k) {
                double c = in.clamped(x, y)[k] * weights[0];
                for (int i = 1; i <= 4; ++i)
                    c += (in.clamped(x + i * dx, y + i * dy)[k] + in.clamped(x - i * dx, y - i * dy)[k]) * weights[i];
                out.at(x, y)[k] = c;
            }
    return out;
}

// The composite's display encoding of linear light in [0, 1] (the fit in Post.glsl), and the filmic
// curve before it, each undone.
double encodeCurve(double c)
{
    if (c < 0.0031308) return c * 12.92;
    double s1 = std::sqrt(c), s2 = std::sqrt(s1), s3 = std::sqrt(s2);
    return 0.662002687 * s1 + 0.684122060 * s2 - 0.323583601 * s3 - 0.0225411470 * c;
}

double decodeCurve(double e)
{
    double lo = 0, hi = 1;
    for (int i = 0; i < 60; ++i) (encodeCurve((lo + hi) / 2) < e ? lo : hi) = (lo + hi) / 2;
    return (lo + hi) / 2;
}

double untoneMap(double t)
{
    // t = x (2.51 x + 0.03) / (x (2.43 x + 0.59) + 0.14), solved for x >= 0.
    double a = 2.43 * t - 2.51, b = 0.59 * t - 0.03, c = 0.14 * t;
    return (-b - std::sqrt(b * b - 4 * a * c)) / (2 * a);
}

} // namespace

// The glow of a still is the bright light of the scene, taken to half size and blurred, and taken on
// from there to quarter size and blurred twice. It is recovered from two linear stills, with bloom 4
// and 0 (no grain, vignette, sound or hue drift), and held against those passes worked out here from
// the scene; the sizes make halves and quarters of odd sizes, and every blur reaches the edges. A
// blur too few or a window one texel off is several times the tolerance away.
TEST_F(RendererTest, GlowIsTheBrightLightOfTheSceneBlurred)
{
    const int w = 50, h = 34;
    RenderView view = homeView(FractalType::mandelbrot, 128, Palette::candy);
    PostSettings plain;
    plain.bloom = 0;
    plain.grain = 0;
    plain.vignette = 0;
    PostSettings glowing = plain;
    glowing.bloom = 4;
    const double gain = 4 * 0.55;
    std::vector<float> without = renderer->renderStillLinear(view, w, h, plain);
    std::vector<float> with = renderer->renderStillLinear(view, w, h, glowing);

    Plane scene(w, h), measured(w, h);
    std::vector<bool> readable(size_t(w) * size_t(h), true);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (size_t k = 0; k < 3; ++k) {
                size_t i = (size_t(y) * size_t(w) + size_t(x)) * 4 + k;
                double t0 = decodeCurve(without[i]), t1 = decodeCurve(with[i]);
                // Towards the curve's shoulder the light cannot be told back from the picture.
                if (t1 > 0.8) readable[size_t(y) * size_t(w) + size_t(x)] = false;
                scene.at(x, y)[k] = untoneMap(t0);
                measured.at(x, y)[k] = (untoneMap(t1) - scene.at(x, y)[k]) / gain;
            }

    Plane half = blurPass(blurPass(brightPass(scene, w / 2, h / 2, 0.6, 0.35), 1, 0), 0, 1);
    Plane quarter = brightPass(half, w / 4, h / 4, 0.0, 0.01);
    for (int pass = 0; pass < 2; ++pass) quarter = blurPass(blurPass(quarter, 1, 0), 0, 1);

    double largest = 0;
    int compared = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (!readable[size_t(y) * size_t(w) + size_t(x)]) continue;
            double u = (x + 0.5) / w, v = (y + 0.5) / h;
            auto a = half.sample(u, v), b = quarter.sample(u, v);
            for (size_t k = 0; k < 3; ++k) {
                double expected = a[k] * 0.6 + b[k] * 0.9;
                largest = std::max(largest, expected);
                EXPECT_NEAR(measured.at(x, y)[k], expected, 0.002 + 0.02 * expected)
                    << "pixel " << x << ", " << y << ", channel " << k;
            }
            ++compared;
        }
    EXPECT_GT(compared, w * h / 2);
    EXPECT_GT(largest, 0.04) << "the view has light bright enough to glow";
}
