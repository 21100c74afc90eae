// The preset record, its lenient reading, preset files and the factory list.
#include "Platform/Json/Json.h"
#include "Platform/Resources/Resources.h"
#include "Presets/FactoryPresets.h"
#include "Presets/PresetFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <thread>

namespace veltrane {
namespace {

std::span<const std::uint8_t> bytes(const std::string& text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Preset readOne(const std::string& object) { return Json::parse(object).get<Preset>(); }

TEST(Preset, MinimalObjectTakesEveryDefault)
{
    const Preset p = readOne(R"({"id": "a"})");
    Preset expected;
    expected.id = "a";
    EXPECT_EQ(p, expected);
    EXPECT_EQ(p.name, "Untitled");
    EXPECT_EQ(p.centerX, -0.5);
    EXPECT_EQ(p.maxIterations, 128);
    EXPECT_FALSE(p.juliaC || p.scale || p.rootNote || p.centre || p.log2Zoom);
}

TEST(Preset, LenientFieldsNeverFailStrictFieldsDo)
{
    struct Case {
        const char* json;
        bool reads;
    };
    const Case cases[] = {
        {R"({"id":"a","name":null})", true},
        {R"({"id":"a","fractalType":"mandelbrat"})", true},
        {R"({"id":"a","fractalType":7})", true},
        {R"({"id":"a","colorPalette":3})", true},
        {R"({"id":"a","scale":"bebop"})", true},
        {R"({"id":"a","unknownKey":{"deep":[1,2]},"juliaC":null,"log2Zoom":null})", true},
        {R"({"id":"a","maxIterations":500.0})", true},
        {R"({"id":"a","centerX":"0.25"})", false},
        {R"({"id":"a","name":5})", false},
        {R"({"id":"a","juliaC":{"x":1}})", false},
        {R"({"id":"a","rootNote":"C"})", false},
        {R"({"id":"a","maxIterations":1.5})", false},
        {R"({"id":"a","centre":{"x":"0.1"}})", false},
        {R"({"id":"a","audioParams":{"filterType":"comb"}})", false},
        {R"({"id":"a","log2Zoom":"3"})", false},
        {R"({"name":"no id"})", false},
        {R"({"id":7})", false},
    };
    for (const Case& c : cases) {
        if (c.reads) {
            EXPECT_NO_THROW(readOne(c.json)) << c.json;
        } else {
            EXPECT_THROW(readOne(c.json), Json::Error) << c.json;
        }
    }
    const Preset p = readOne(R"({"id":"a","name":null,"fractalType":"x","colorPalette":3,"scale":"bebop",
                                 "audioParams":{"volume":0.9}})");
    EXPECT_EQ(p.name, "Untitled");
    EXPECT_EQ(p.fractalType, FractalType::mandelbrot);
    EXPECT_EQ(p.colorPalette, Palette::obsidian);
    EXPECT_FALSE(p.scale);
    EXPECT_EQ(p.audioParams.volume, 0.9);
    EXPECT_EQ(p.audioParams.filterCutoff, AudioParams::defaults().filterCutoff);
}

TEST(Preset, WritingLeavesOutAbsentOptionalsAndCapsTheZoom)
{
    Preset p;
    p.id = "a";
    p.zoom = std::numeric_limits<double>::infinity();
    const Json::Value json = p;
    for (const char* key : {"juliaC", "scale", "rootNote", "centre", "log2Zoom"})
        EXPECT_FALSE(json.contains(key)) << key;
    EXPECT_EQ(Json::parse(Json::write(json)).get<Preset>().zoom, 1e300);

    p.zoom = std::nan("");
    EXPECT_THROW(PresetFile::encode({p}, {}), Json::Error);
}

TEST(Preset, DepthAndExactCentre)
{
    struct Case {
        double zoom;
        std::optional<double> log2Zoom;
        double expected;
    };
    const Case cases[] = {
        {8, 3, 8},
        {8, 3.1, std::exp2(3.1)},
        {0, 3, 8},
        {std::nan(""), 3, 8},
        {-4, std::nullopt, -4},
        {1e300, 1200, std::exp2(1200)},
    };
    for (const Case& c : cases) {
        Preset p;
        p.zoom = c.zoom;
        p.log2Zoom = c.log2Zoom;
        EXPECT_EQ(p.effectiveZoom(), c.expected) << c.zoom;
    }
    Preset zero;
    zero.zoom = 0;
    EXPECT_EQ(zero.effectiveLog2Zoom(), std::log2(1e-300));

    Preset p;
    const BigComplex centre(*BigFixed::fromDecimal("-0.75123456789012345678901234567890123", 2),
                            *BigFixed::fromDecimal("0.10000000000000000000000000000000007", 2));
    p.setView(centre, 1e12);
    EXPECT_FALSE(p.centre);
    EXPECT_EQ(p.log2Zoom, std::log2(1e12));
    p.setView(centre, 2e12);
    ASSERT_TRUE(p.centre);
    EXPECT_EQ(p.exactCentre().withFracLimbs(2), centre);
    EXPECT_EQ(p.centerX, centre.doubles().x);

    p.centre->y = "not a number";
    const BigComplex fallback = p.exactCentre();
    EXPECT_EQ(fallback.doubles().x, p.centerX);
    EXPECT_EQ(fallback.y(), BigFixed(p.centerY, fallback.fracLimbs()));
}

TEST(Preset, FactoryPrefixIsExactAndCaseSensitive)
{
    for (const auto& [id, factory] : std::vector<std::pair<std::string, bool>>{
             {"factory-", true}, {"factory-home", true}, {"Factory-home", false}, {"factory", false}, {"", false}}) {
        Preset p;
        p.id = id;
        EXPECT_EQ(p.isFactory(), factory) << id;
    }
}

TEST(PresetFile, EncodesSortedPrettyEnvelope)
{
    Preset p;
    p.id = "a";
    p.scale = Scale::dorian;
    const auto time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123));
    const auto encoded = PresetFile::encode({p, p}, time);
    const std::string text(encoded.begin(), encoded.end());
    EXPECT_LT(text.find("\"exportedAt\": \"2023-11-14T22:13:20.123Z\""), text.find("\"presets\""));
    EXPECT_LT(text.find("\"presets\""), text.find("\"version\": 2"));
    EXPECT_LT(text.find("\"audioParams\""), text.find("\"zoom\""));
    EXPECT_EQ(PresetFile::decode(encoded), (std::vector<Preset>{p, p}));
}

TEST(PresetFile, DecodesEnvelopesAndBareArraysAndFailsAsAWhole)
{
    using Kind = PresetFile::Error::Kind;
    struct Case {
        const char* text;
        std::size_t count;        // when it reads
        std::optional<Kind> kind; // PresetFile::Error
        std::int64_t version = 0;
        bool jsonError = false;
    };
    const Case cases[] = {
        {R"({"version": 1, "presets": []})", 0, {}},
        {R"([])", 0, {}},
        {R"({"version": 2, "exportedAt": null, "extra": 1, "presets": [{"id": "a"}, {"id": "b"}]})", 2, {}},
        {R"([{"id": "a"}])", 1, {}},
        {R"({"version": 3, "presets": []})", 0, Kind::unsupportedVersion, 3},
        {R"({"version": 0, "presets": []})", 0, Kind::unsupportedVersion, 0},
        {R"({"presets": []})", 0, {}, 0, true},
        {R"({"version": 2, "exportedAt": 5, "presets": []})", 0, {}, 0, true},
        {R"({"version": 2, "presets": [{"id": "a"}, {"name": "no id"}]})", 0, {}, 0, true},
        {R"([{"id": "a"}, {"centerX": 1}])", 0, {}, 0, true},
        {"not json", 0, {}, 0, true},
        {"", 0, {}, 0, true},
    };
    for (const Case& c : cases) {
        if (c.kind) {
            try {
                PresetFile::decode(bytes(c.text));
                ADD_FAILURE() << c.text;
            } catch (const PresetFile::Error& error) {
                EXPECT_EQ(error, PresetFile::Error::unsupportedVersion(c.version)) << c.text;
            }
        } else if (c.jsonError) {
            EXPECT_THROW(PresetFile::decode(bytes(c.text)), Json::Error) << c.text;
        } else {
            EXPECT_EQ(PresetFile::decode(bytes(c.text)).size(), c.count) << c.text;
        }
    }
}

TEST(PresetFile, CheckedDecodingNamesPresetsUnfitToImport)
{
    const std::string text = R"([{"id": "ok", "name": "Fine"},
        {"id": "inf", "name": "Huge", "centerX": 1e999},
        {"id": "z0", "name": "Flat", "zoom": 0},
        {"id": "t", "name": "Odd", "fractalType": "mandelbrat"},
        {"id": "sound", "name": "Loud", "audioParams": {"volume": -1e999}}])";
    const auto checked = PresetFile::decodeChecked(bytes(text));
    ASSERT_EQ(checked.size(), 5u);
    EXPECT_FALSE(checked[0].defect);
    EXPECT_EQ(checked[1].defect, "the preset \"Huge\" has a number that is not finite");
    EXPECT_EQ(checked[2].defect, "the preset \"Flat\" has a zoom of 0 or less");
    EXPECT_EQ(checked[3].defect, "the preset \"Odd\" has an unknown fractal type \"mandelbrat\"");
    EXPECT_TRUE(checked[4].defect);

    // Outside import a number past the range of a double fails the file as a whole.
    EXPECT_THROW(PresetFile::decode(bytes(text)), Json::Error);
    // Other faults still fail the checked reading too.
    EXPECT_THROW(PresetFile::decodeChecked(bytes(R"([{"id": "a", "zoom": 1e999}, {"name": "no id"}])")), Json::Error);
}

TEST(FactoryPresets, SixteenDistinctDecodablePresetsOverAllFormulas)
{
    Resources::setRoot(std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources");
    const std::vector<Preset>& all = FactoryPresets::all();
    ASSERT_EQ(all.size(), 16u);
    std::set<std::string> ids;
    std::set<FractalType> types;
    int past1e30 = 0, past1e100 = 0;
    for (const Preset& p : all) {
        EXPECT_TRUE(p.isFactory()) << p.id;
        ids.insert(p.id);
        types.insert(p.fractalType);
        const double zoom = p.effectiveZoom();
        EXPECT_TRUE(zoom >= 0.1 && zoom <= 1e300) << p.id;
        EXPECT_TRUE(p.scale && p.rootNote) << p.id;
        if (zoom > 1e30) ++past1e30;
        if (zoom > 1e100) {
            ++past1e100;
            // The exact centre must come from the decimal texts, not from the doubles.
            ASSERT_TRUE(p.centre) << p.id;
            const BigComplex exact = p.exactCentre();
            EXPECT_EQ(exact.x().decimal().substr(0, 100), p.centre->x.substr(0, 100)) << p.id;
            EXPECT_EQ(exact.y().decimal().substr(0, 100), p.centre->y.substr(0, 100)) << p.id;
        }
    }
    EXPECT_EQ(ids.size(), 16u);
    EXPECT_EQ(types.size(), allCases<FractalType>.size());
    EXPECT_GE(past1e30, 3);
    EXPECT_GE(past1e100, 2);

    // Loaded once: every thread, first or later, sees the same list.
    std::vector<std::thread> threads;
    std::vector<const std::vector<Preset>*> seen(8);
    for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = &FactoryPresets::all(); });
    for (auto& t : threads) t.join();
    for (const auto* list : seen) EXPECT_EQ(list, &all);
}

} // namespace
} // namespace veltrane
