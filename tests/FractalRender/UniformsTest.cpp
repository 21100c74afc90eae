#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "FractalRender/FractalUniforms.h"

using namespace veltrane;

namespace {

// Builds an expected block byte by byte, independently of the struct's declaration.
class Bytes {
public:
    explicit Bytes(size_t size) : data_(size, 0) {}
    Bytes& f32(size_t offset, float v) { return put(offset, &v); }
    Bytes& i32(size_t offset, int32_t v) { return put(offset, &v); }
    Bytes& u32(size_t offset, uint32_t v) { return put(offset, &v); }
    const std::vector<uint8_t>& data() const { return data_; }

private:
    template <typename T>
    Bytes& put(size_t offset, const T* v)
    {
        std::memcpy(data_.data() + offset, v, 4); // the machine is little-endian, like the GPU
        return *this;
    }
    std::vector<uint8_t> data_;
};

template <typename Block>
std::vector<uint8_t> bytesOf(const Block& block)
{
    std::vector<uint8_t> out(sizeof block);
    std::memcpy(out.data(), &block, sizeof block);
    return out;
}

RenderView view(FractalType type, double zoom, int64_t iterations, double shift = 0)
{
    return RenderView(type, -0.75, 0.1, zoom, 0.5, iterations, Complex{-0.8, 0.156}, Palette::gilded, shift);
}

} // namespace

TEST(UniformsTest, DirectBlockIsByteExact)
{
    RenderView v = view(FractalType::julia, 2.0, 500, 2.25);
    FractalUniforms u = makeUniforms(v, 300, 200, false, Complex{0.0025, -0.005}, {0.25f, -0.125f}, ReferenceInputs{});
    Bytes expected(112);
    expected.f32(0, 300)
        .f32(4, 200)
        .f32(24, float(-0.75))
        .f32(28, float(0.1))
        .f32(32, 0.25f)
        .f32(36, -0.125f)
        .f32(40, 2.0f)
        .f32(44, 0.5f)
        .f32(48, float(2.5 / (2.0 * 200)))
        .f32(52, 2.5f)
        .i32(56, 500)
        .i32(60, 9)
        .i32(64, 0)
        .i32(68, 1)
        .f32(72, float(-0.8))
        .f32(76, float(0.156))
        .f32(80, float(0.0025))
        .f32(84, float(-0.005))
        .f32(108, 0.25f);
    EXPECT_EQ(bytesOf(u), expected.data());
}

TEST(UniformsTest, EdgeValuesOfTheBlock)
{
    struct Case {
        int64_t iterations;
        double shift;
        int32_t sentIterations;
        float sentShift;
    };
    for (Case c : {Case{0, 2.25, 1, 0.25f}, Case{-7, -0.75, 1, 0.25f}, Case{3'000'000'000LL, 0.0, 2147483647, 0.0f},
                   Case{2147483647, 5.0, 2147483647, 0.0f}}) {
        FractalUniforms u =
            makeUniforms(view(FractalType::mandelbrot, 1, c.iterations, c.shift), 3, 3, false, {}, {0, 0}, {});
        EXPECT_EQ(u.maxIterations, c.sentIterations) << c.iterations;
        EXPECT_EQ(u.colourShift, c.sentShift) << c.shift;
    }
    FractalUniforms newton = makeUniforms(view(FractalType::newton, 1e40, 100), 3, 3, false, {}, {0, 0}, {});
    EXPECT_EQ(newton.typeParameter, 3.0f);
    EXPECT_EQ(newton.mode, 0);
}

TEST(UniformsTest, ModesFollowTheDepth)
{
    ReferenceInputs reference;
    reference.referenceLength = 1234;
    reference.deltaOffset = {1e-5f, -2e-5f};
    reference.deltaOffsetScaled = ScaledComplex(0.5, -0.25, -110);
    reference.blaLevels = 7;

    FractalUniforms shallow =
        makeUniforms(view(FractalType::mandelbrot, 2500, 100), 300, 200, false, {}, {0, 0}, reference);
    EXPECT_EQ(shallow.mode, 0);
    EXPECT_EQ(shallow.deltaOffset[0], 0.0f);

    FractalUniforms perturbed =
        makeUniforms(view(FractalType::mandelbrot, 1e30, 100), 300, 200, true, {}, {0, 0}, reference);
    EXPECT_EQ(perturbed.mode, 1);
    EXPECT_EQ(perturbed.referenceLength, 1234);
    EXPECT_EQ(perturbed.deltaOffset[0], 1e-5f);
    EXPECT_EQ(perturbed.scaleExponent, 0);
    EXPECT_EQ(perturbed.blaLevels, 0);

    // Just above 1e30: rescaled. 1e30 lies between 2^99 and 2^100.
    double zoom = std::nextafter(1e30, 1e31);
    FractalUniforms rescaled =
        makeUniforms(view(FractalType::mandelbrot, zoom, 100), 300, 200, true, {}, {0, 0}, reference);
    EXPECT_EQ(rescaled.mode, 2);
    EXPECT_EQ(rescaled.scaleExponent, -99);
    EXPECT_GE(rescaled.zoom, 1.0f);
    EXPECT_LT(rescaled.zoom, 2.0f);
    EXPECT_FLOAT_EQ(rescaled.zoom, float(zoom / std::ldexp(1.0, 99)));
    EXPECT_FLOAT_EQ(rescaled.pixelScale, float(2.5 / (double(rescaled.zoom) * 200)));
    // (0.5, -0.25) * 2^-110 in units of 2^-99.
    EXPECT_EQ(rescaled.deltaOffset[0], std::ldexp(0.5f, -11));
    EXPECT_EQ(rescaled.deltaOffset[1], std::ldexp(-0.25f, -11));
    EXPECT_EQ(rescaled.blaLevels, 7);

    reference.forceExtremePath = true;
    EXPECT_EQ(makeUniforms(view(FractalType::mandelbrot, 3000, 100), 300, 200, true, {}, {0, 0}, reference).mode, 2);
}

TEST(UniformsTest, JuliaOffsetMovesInSteps)
{
    AudioVisuals audio;
    audio.juliaCOffset = {0.0013, 0.001};
    Complex offset = audioJuliaOffset(view(FractalType::julia, 2500, 100), audio, false);
    EXPECT_EQ(offset.x, 0.0025);
    EXPECT_EQ(offset.y, 0.0);
    audio.juliaCOffset = {-0.00125, 0.0}; // a half step rounds away from zero
    EXPECT_EQ(audioJuliaOffset(view(FractalType::julia, 1, 100), audio, false).x, -0.0025);
    EXPECT_EQ(audioJuliaOffset(view(FractalType::julia, 2500.0001, 100), audio, true).x, 0.0);
    EXPECT_EQ(audioJuliaOffset(view(FractalType::mandelbrot, 1, 100), audio, false).x, 0.0);
}

TEST(UniformsTest, PostBlocksAreByteExact)
{
    EXPECT_EQ(bytesOf(makeBrightBlock(300, 200, true)),
              Bytes(16).f32(0, 1.0f / 300).f32(4, 1.0f / 200).f32(8, 0.6f).f32(12, 0.35f).data());
    EXPECT_EQ(bytesOf(makeBrightBlock(150, 100, false)),
              Bytes(16).f32(0, 1.0f / 150).f32(4, 1.0f / 100).f32(8, 0.0f).f32(12, 0.01f).data());
    EXPECT_EQ(bytesOf(makeBlurBlock(75, 50, true)), Bytes(8).f32(0, 1.0f / 75).data());
    EXPECT_EQ(bytesOf(makeBlurBlock(75, 50, false)), Bytes(8).f32(4, 1.0f / 50).data());

    AudioVisuals quiet;
    PostSettings defaults;
    double t = 3.0;
    Bytes expected(56);
    expected.f32(0, 3)
        .f32(4, 3)
        .f32(8, 3.0f)
        .f32(12, float(0.7 * 0.55))
        .f32(16, float(0.0005))
        .f32(20, float(0.42))
        .f32(24, float(0.5 * 0.022))
        .f32(28, 1.0f)
        .f32(44, float(0.1 * std::sin(0.21 * t)))
        .f32(48, 1.0f)
        .u32(52, 0);
    EXPECT_EQ(bytesOf(makeCompositeBlock(3, 3, GpuFormat::bgra8Unorm, quiet, defaults, t)), expected.data());

    AudioVisuals loud{0.5, 6000, 1, 1, 0.5, 1, {}};
    PostSettings bright = defaults;
    bright.headroom = 2.0;
    CompositeBlock c = makeCompositeBlock(1280, 720, GpuFormat::rgba16Float, loud, bright, 0);
    EXPECT_FLOAT_EQ(c.bloomGain, 1.435f);
    EXPECT_FLOAT_EQ(c.audioTerm, 0.0005f + 0.012f + 0.0015f);
    EXPECT_FLOAT_EQ(c.grain, 0.011f);
    EXPECT_FLOAT_EQ(c.drift, float(0.18 * 0.5 + 1.0));
    EXPECT_NEAR(c.headroom, 1.3533, 1e-4);
    EXPECT_EQ(c.extendedRange, 1u);
    EXPECT_EQ(c.amplitude, 0.5f);
    bright.headroom = 0.5;
    EXPECT_EQ(makeCompositeBlock(1, 1, GpuFormat::bgra8Unorm, loud, bright, 0).headroom, 1.0f);
}

// The shader numbers formulas and palettes by name; the processor side derives the same numbers from
// FractalType and Palette. Reads the shader source, as the renderer does.
TEST(UniformsTest, ShaderNumbersMatchTheEnumerations)
{
    std::ifstream file(std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources" / "Shaders" / "Fractal.glsl");
    ASSERT_TRUE(file);
    std::stringstream text;
    text << file.rdbuf();
    const std::string source = text.str();
    std::map<std::string, int> constants;
    const std::regex constant(R"(const int (k\w+) = (\d+);)");
    for (std::sregex_iterator it(source.begin(), source.end(), constant), end; it != end; ++it)
        constants[(*it)[1]] = std::stoi((*it)[2]);

    int formulas = 0;
    for (FractalType type : allCases<FractalType>) {
        std::string name(toText(type));
        name[0] = char(std::toupper(static_cast<unsigned char>(name[0])));
        SCOPED_TRACE(name);
        if (type == FractalType::newton) {
            EXPECT_EQ(formulaIndex(type), -1);
            EXPECT_FALSE(constants.contains("k" + name));
            continue;
        }
        ASSERT_TRUE(constants.contains("k" + name));
        EXPECT_EQ(constants["k" + name], formulaIndex(type));
        ++formulas;
    }
    EXPECT_EQ(size_t(formulas), formulaCount);
    // Formulas are compared by name only, never by a bare number.
    EXPECT_FALSE(std::regex_search(source, std::regex(R"(kFormula\s*(==|!=|<=|>=|<|>)\s*\d)")));

    EXPECT_EQ(constants["kPaletteCount"], int(allCases<Palette>.size()));
    EXPECT_EQ(constants["kThermal"], shaderIndex(Palette::thermal));
}
