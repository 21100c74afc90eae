#include "FractalCore/Complex.h"
#include "FractalCore/CoreJson.h"
#include "FractalCore/FractalTarget.h"
#include "FractalCore/FractalType.h"
#include "FractalCore/Palette.h"

#include <gtest/gtest.h>

#include <string>

using namespace veltrane;

namespace {

TEST(FractalTypeTest, StoredTextsInMenuOrderAndRoundTrip)
{
    const char* expected[] = {"mandelbrot", "julia",   "burningship",   "tricorn",    "newton",
                              "celtic",     "buffalo", "perpendicular", "multibrot3", "multibrot4"};
    ASSERT_EQ(allCases<FractalType>.size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) {
        const FractalType t = allCases<FractalType>[i];
        EXPECT_EQ(toText(t), expected[i]);
        EXPECT_EQ(fromText<FractalType>(toText(t)), t);
    }
    EXPECT_FALSE(fromText<FractalType>("Mandelbrot"));
    EXPECT_FALSE(fromText<FractalType>(""));
    EXPECT_FALSE(fromText<FractalType>("burning ship"));
}

TEST(FractalTypeTest, PropertiesTable)
{
    struct Row {
        FractalType type;
        const char* label;
        int degree;
        bool folds;
        bool perturbs;
        FractalTarget home;
    };
    const Row rows[] = {
        {FractalType::mandelbrot, "Mandelbrot", 2, false, true, {-0.5, 0, 1, 0}},
        {FractalType::julia, "Julia", 2, false, true, {-0.5, 0, 1, 0}},
        {FractalType::burningship, "Burning Ship", 2, true, true, {-0.5, 0, 1, 0}},
        {FractalType::tricorn, "Tricorn", 2, false, true, {-0.5, 0, 1, 0}},
        {FractalType::newton, "Newton", 2, false, false, {-0.5, 0, 1, 0}},
        {FractalType::celtic, "Celtic", 2, true, true, {-0.6, 0, 0.7, 0}},
        {FractalType::buffalo, "Buffalo", 2, true, true, {-0.45, -0.45, 0.75, 0}},
        {FractalType::perpendicular, "Perpendicular Ship", 2, true, true, {-0.5, 0.15, 0.8, 0}},
        {FractalType::multibrot3, "Multibrot 3", 3, false, true, {0, 0, 0.75, 0}},
        {FractalType::multibrot4, "Multibrot 4", 4, false, true, {-0.15, 0, 0.9, 0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(toText(r.type)));
        EXPECT_EQ(label(r.type), r.label);
        EXPECT_EQ(degree(r.type), r.degree);
        EXPECT_EQ(foldsWithAbs(r.type), r.folds);
        EXPECT_EQ(supportsPerturbation(r.type), r.perturbs);
        EXPECT_EQ(home(r.type), r.home);
    }
}

TEST(FractalTypeTest, StepFormulas)
{
    // z = (0.5, -0.75), c = (0.125, 0.75): X = x² − y² = -0.3125 (negative, so the folds show), Y = -0.75.
    struct Row {
        FractalType type;
        double x, y;
    };
    const Row rows[] = {
        {FractalType::mandelbrot, -0.1875, 0},
        {FractalType::julia, -0.1875, 0},
        {FractalType::newton, -0.1875, 0},
        {FractalType::burningship, -0.1875, 1.5},
        {FractalType::tricorn, -0.1875, 1.5},
        {FractalType::celtic, 0.4375, 0},
        {FractalType::buffalo, 0.4375, 1.5},
        {FractalType::perpendicular, -0.1875, 0},
        {FractalType::multibrot3, -0.59375, 0.609375},
        {FractalType::multibrot4, -0.33984375, 1.21875},
    };
    for (const Row& r : rows) {
        const Complex z = step(r.type, 0.5, -0.75, 0.125, 0.75);
        EXPECT_EQ(z, (Complex{r.x, r.y})) << toText(r.type);
    }
}

TEST(PaletteTest, StoredTextsShaderIndicesAndAccents)
{
    struct Row {
        const char* text;
        const char* label;
        std::uint32_t accent;
    };
    const Row rows[] = {
        {"obsidian", "Obsidian", 0x00FFB2}, {"ember", "Ember", 0xFF9D45},   {"spectrum", "Spectrum", 0xE0E0FF},
        {"aurora", "Aurora", 0x66FFBB},     {"void", "Void", 0xFF44DD},     {"ocean", "Ocean", 0x3FD0FF},
        {"sunset", "Sunset", 0xFF7A59},     {"forest", "Forest", 0x8EDB5A}, {"glacier", "Glacier", 0xB8DCFF},
        {"gilded", "Gilded", 0xFFC857},     {"ink", "Ink", 0xE8E8E8},       {"thermal", "Thermal", 0xFF5A2E},
        {"candy", "Candy", 0xFF8AD1},
    };
    ASSERT_EQ(allCases<Palette>.size(), 13u);
    for (std::size_t i = 0; i < 13; ++i) {
        const Palette p = allCases<Palette>[i];
        EXPECT_EQ(toText(p), rows[i].text);
        EXPECT_EQ(fromText<Palette>(rows[i].text), p);
        EXPECT_EQ(label(p), rows[i].label);
        EXPECT_EQ(shaderIndex(p), static_cast<std::int32_t>(i));
        EXPECT_EQ(accentRGB(p), rows[i].accent);
    }
    EXPECT_FALSE(fromText<Palette>("Obsidian"));
    EXPECT_FALSE(fromText<Palette>("void_"));
}

TEST(JsonCodingTest, EnumerationsAreTheirStoredTexts)
{
    EXPECT_EQ(Json::write(Json::Value(FractalType::burningship)), "\"burningship\"");
    EXPECT_EQ(Json::write(Json::Value(Palette::void_)), "\"void\"");
    EXPECT_EQ(Json::parse("\"multibrot4\"").get<FractalType>(), FractalType::multibrot4);
    EXPECT_EQ(Json::parse("\"candy\"").get<Palette>(), Palette::candy);
    for (const char* bad : {"\"Mandelbrot\"", "\"\"", "0", "null", "[\"julia\"]"}) {
        EXPECT_THROW(Json::parse(bad).get<FractalType>(), Json::Error) << bad;
        EXPECT_THROW(Json::parse(bad).get<Palette>(), Json::Error) << bad;
    }
}

TEST(JsonCodingTest, ComplexAndTargetKeysAreRequired)
{
    EXPECT_EQ(Json::write(Json::Value(Complex{0.25, -1})), R"({"x":0.25,"y":-1})");
    EXPECT_EQ(Json::parse(R"({"y":2,"x":-0.5})").get<Complex>(), (Complex{-0.5, 2}));
    for (const char* bad : {R"({"x":1})", R"({"y":1})", R"({"x":"1","y":1})", "[1,2]", "null"})
        EXPECT_THROW(Json::parse(bad).get<Complex>(), Json::Error) << bad;

    const FractalTarget t{-0.75, 0.1, 1e13, 0.5};
    const std::string text = Json::write(Json::Value(t));
    EXPECT_EQ(text, R"({"centerX":-0.75,"centerY":0.1,"rotation":0.5,"zoom":10000000000000})");
    EXPECT_EQ(Json::parse(text).get<FractalTarget>(), t);
    for (const char* key : {"centerX", "centerY", "zoom", "rotation"}) {
        Json::Value v = Json::parse(text);
        v.erase(key);
        EXPECT_THROW(v.get<FractalTarget>(), Json::Error) << key;
    }
}

} // namespace
