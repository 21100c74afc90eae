#include "Takes/Take.h"

#include "Platform/Json/Json.h"
#include "Support/Base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace veltrane;

namespace {

Take::View view(std::int64_t frame, FractalType type, std::string x, std::string y, double zoom,
                std::optional<double> colour = 0.25)
{
    Take::View v;
    v.frame = frame;
    v.type = type;
    v.x = std::move(x);
    v.y = std::move(y);
    v.zoom = zoom;
    v.rotation = 0.5;
    v.juliaC = {-0.7, 0.27015};
    v.palette = Palette::ember;
    v.maxIterations = 512;
    v.bloom = 0.7;
    v.grain = 0.5;
    v.colour = colour;
    return v;
}

// One of everything, with values that do not survive a careless coding: floats that are not
// doubles, 64-bit frames, a negative zero, bytes that are not text, a view without colour.
Take sampleTake()
{
    std::vector<Take::Event> events{
        {0, 9, 8, 0, 2.5f, 0, 0},
        {0, 1, 0, 0, 0, 0, 0},
        {480, 4, 0, 7, 261.6256f, 0, 0.8f},
        {(std::int64_t{1} << 40) + 3, 5, 0, -2147483647 - 1, 0.1f, -0.0f, 3.4e38f},
    };
    std::vector<Take::OrbitSnapshot> orbits{{0, {0.1, -0.2, 1e-300, 2.5}, 2}, {9600, {}, 0}};
    std::vector<Take::View> views{
        view(0, FractalType::julia, "-0.5", "0.25", 1),
        view(800, FractalType::julia, "-0.50000000000000000000000001", "0", 1e12, std::nullopt)};
    std::string bytes = "{\"fractalType\":\"julia\"}";
    bytes.push_back('\0');
    bytes.push_back('\xff');
    std::vector<Take::HUDFrame> hud{{0, bytes}, {800, "{}"}};
    return Take(48000, "2024-05-01T12:00:00Z", 96000, events, orbits, views, hud);
}

void expectSortedKeys(const Json::OrderedValue& value, const std::string& path)
{
    if (value.is_object()) {
        std::string last;
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            EXPECT_TRUE(first || last < it.key()) << path << ": " << it.key() << " after " << last;
            last = it.key();
            first = false;
            expectSortedKeys(it.value(), path + "." + it.key());
        }
    } else if (value.is_array()) {
        for (const auto& item : value) expectSortedKeys(item, path + "[]");
    }
}

} // namespace

TEST(Take, EncodeDecodeGivesEveryFieldBackWithSortedKeys)
{
    const Take take = sampleTake();
    const std::string file = take.encoded();
    EXPECT_EQ(file.find_first_of("\n "), std::string::npos) << "compact, no whitespace";
    const Take back = Take::decode(file);
    EXPECT_EQ(back, take);
    EXPECT_EQ(back.version, 1);
    EXPECT_FALSE(back.views[1].colour.has_value());
    EXPECT_EQ(back.encoded(), file);

    const auto json = Json::parseOrdered(file);
    expectSortedKeys(json, "take");
    EXPECT_EQ(json["hud"][0]["state"], Base64::encode(take.hud[0].state));
    EXPECT_TRUE(json["views"][0]["x"].is_string());
    EXPECT_EQ(json["events"][2]["value"].dump(), "261.6256"); // a float's own shortest text
    EXPECT_FALSE(json["views"][1].contains("colour"));

    // "hud" is written even when empty.
    const Take bare(44100, "", 0, {}, {}, {}, {});
    EXPECT_EQ(
        bare.encoded(),
        R"({"createdAt":"","events":[],"hud":[],"length":0,"orbits":[],"sampleRate":44100,"version":1,"views":[]})");
    EXPECT_EQ(Take::fileExtension, "veltranetake");
    EXPECT_DOUBLE_EQ(take.seconds(), 2.0);
}

TEST(Take, NonFiniteNumbersFailToEncode)
{
    Take take = sampleTake();
    take.events[0].value = std::numeric_limits<float>::quiet_NaN();
    EXPECT_THROW(take.encoded(), Json::Error);
    take = sampleTake();
    take.views[0].zoom = std::numeric_limits<double>::infinity();
    EXPECT_THROW(take.encoded(), Json::Error);
}

TEST(Take, DecodingKeepsWhatThePartAcceptsAndSkipsUnknownKeys)
{
    const std::string file =
        R"({"createdAt":"x","events":[{"frame":900,"id":0,"param":0,"type":2,"value":0,"value2":0,"value3":0,"extra":[1,{"a":null}]},
        {"frame":10,"id":0,"param":0,"type":1,"value":1,"value2":2,"value3":3}],"length":5,"orbits":[],"sampleRate":48000,
        "version":7,"views":[{"bloom":1,"colour":null,"frame":3,"grain":0,"juliaC":{"x":0,"y":1,"z":"?"},"maxIterations":64,
        "palette":"ink","rotation":0,"type":"newton","x":"not a number","y":"1.5","zoom":0.5}],"future":{"k":[true,false]}})";
    const Take take = Take::decode(file);
    EXPECT_EQ(take.version, 7);
    EXPECT_TRUE(take.hud.empty());
    ASSERT_EQ(take.events.size(), 2u);
    EXPECT_EQ(take.events[0].frame, 900); // unsorted, beyond the length: kept as they are
    ASSERT_EQ(take.views.size(), 1u);
    EXPECT_FALSE(take.views[0].colour);
    EXPECT_EQ(take.views[0].palette, Palette::ink);
    EXPECT_EQ(take.views[0].juliaC, (Complex{0, 1}));
    // An unparsable coordinate is 0; the other is exact.
    const BigComplex c = take.views[0].centre();
    EXPECT_TRUE(c.x().isZero());
    EXPECT_EQ(c.y().toDouble(), 1.5);
    EXPECT_FALSE(take.hudState(1000));
}

// Each case breaks one thing in an otherwise good file.
TEST(Take, DecodingRejectsWhatCannotBePlayed)
{
    const std::string good = sampleTake().encoded();
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        const auto at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return s.replace(at, from.size(), to);
    };
    ASSERT_NO_THROW(Take::decode(good));
    const std::vector<std::pair<std::string, std::string>> cases{
        {"malformed JSON", good.substr(0, good.size() / 2)},
        {"trailing text", good + "x"},
        {"not an object", "[]"},
        {"missing top key", replaced("\"createdAt\":\"2024-05-01T12:00:00Z\",", "")},
        {"missing event key", replaced("\"frame\":480,", "")},
        {"missing view key", replaced("\"maxIterations\":512,", "")},
        {"missing Julia part", replaced("\"juliaC\":{\"x\":-0.7,", "\"juliaC\":{")},
        {"number for a centre text", replaced("\"x\":\"-0.5\"", "\"x\":-0.5")},
        {"text for a frame", replaced("\"frame\":480", "\"frame\":\"480\"")},
        {"fraction for an integer", replaced("\"frame\":480", "\"frame\":480.5")},
        {"32-bit id out of range", replaced("\"id\":7", "\"id\":2147483648")},
        {"float out of range", replaced("\"value3\":0.8", "\"value3\":3.5e38")},
        {"number out of double range", replaced("\"value3\":0.8", "\"value3\":1e999")},
        {"list of the wrong type", replaced("\"orbits\":[", "\"orbits\":7,\"x\":[")},
        {"points not numbers", replaced("\"points\":[0.1", "\"points\":[\"0.1\"")},
        {"unknown fractal type", replaced("\"type\":\"julia\"", "\"type\":\"julia2\"")},
        {"unknown palette", replaced("\"palette\":\"ember\"", "\"palette\":\"Ember\"")},
        {"state not Base64", replaced("\"state\":\"e30=\"", "\"state\":\"e30\"")},
        {"sample rate too low", replaced("\"sampleRate\":48000", "\"sampleRate\":7999")},
        {"sample rate too high", replaced("\"sampleRate\":48000", "\"sampleRate\":384001")},
        {"sample rate zero", replaced("\"sampleRate\":48000", "\"sampleRate\":0")},
        {"negative length", replaced("\"length\":96000", "\"length\":-1")},
        {"length past a day", replaced("\"length\":96000", "\"length\":4147200001")},
        {"orbit longer than its points", replaced("\"length\":2", "\"length\":3")},
        {"zoom 0", replaced("\"zoom\":1}", "\"zoom\":0}")},
        {"negative zoom", replaced("\"zoom\":1}", "\"zoom\":-1}")},
    };
    for (const auto& [name, text] : cases) EXPECT_THROW(Take::decode(text), Json::Error) << name;
    // The limits themselves are playable.
    EXPECT_NO_THROW(Take::decode(replaced("\"length\":96000", "\"length\":4147200000")));
    EXPECT_NO_THROW(Take::decode(replaced("\"sampleRate\":48000", "\"sampleRate\":8000")));
}

TEST(Take, HudStateIsTheLastAtOrBeforeTheFrame)
{
    Take take(48000, "", 0, {}, {}, {}, {{0, "a"}, {100, "b"}, {100, "c"}, {200, "d"}});
    EXPECT_FALSE(take.hudState(-1));
    EXPECT_EQ(take.hudState(0), "a");
    EXPECT_EQ(take.hudState(150), "c");
    EXPECT_EQ(take.hudState(10000), "d");
}

TEST(Take, EventsAndViewsBuiltFromTheEngineSide)
{
    const vk_event early{.frame = 90, .type = 4, .param = 1, .id = 3, .value = 440, .value2 = 1, .value3 = 0.5f};
    const Take::Event e(early, 100);
    EXPECT_EQ(e, (Take::Event{0, 4, 1, 3, 440, 1, 0.5f}));
    EXPECT_EQ(Take::Event(early, 40).frame, 50);
    const vk_event back = Take::Event(early, 0).kernelEvent();
    EXPECT_EQ(std::memcmp(&back, &early, sizeof back), 0);

    const int limbs = BigFixed::limbsForZoom(1e30, 64);
    const BigComplex centre(BigFixed::fromDecimal("-1.25000000000000000000000000000001", limbs).value(),
                            BigFixed::fromDecimal("0.5", limbs).value());
    const Take::View v(7, FractalType::tricorn, centre, 1e30, 0, {}, Palette::void_, 1000, 0.1, 0.2, 0);
    EXPECT_EQ(v.x, centre.x().decimal());
    EXPECT_EQ(v.centre(), centre);
    EXPECT_EQ(v.colour, 0.0);

    Take::View other = v;
    other.frame = 99;
    other.colour.reset();
    EXPECT_TRUE(v.sameAs(other)) << "frame and an absent colour against 0 do not count";
    other.x = v.x + "0";
    EXPECT_FALSE(v.sameAs(other)) << "texts compare exactly";
}

TEST(Take, HeldViewMatchesTheScanForAnyOrder)
{
    const std::vector<std::vector<std::int64_t>> orders{
        {0}, {0, 100, 200}, {0, 100, 100, 200}, {50, 0, 100}, {0, 100, 50, 200, 150, 150, 300}, {300, 200, 100}};
    for (const auto& frames : orders) {
        std::vector<Take::View> views;
        for (auto f : frames) views.push_back(view(f, FractalType::mandelbrot, "0", "0", 1));
        const Take take(48000, "", 0, {}, {}, views, {});
        for (std::int64_t a = -10; a <= 320; a += 5) {
            std::size_t scan = views.size() - 1;
            for (std::size_t i = 1; i < views.size(); ++i)
                if (views[i].frame > a) {
                    scan = i - 1;
                    break;
                }
            EXPECT_EQ(take.heldView(a), scan) << "frame " << a << " of " << frames.size() << " views";
        }
    }
    EXPECT_FALSE(Take(48000, "", 0, {}, {}, {}, {}).heldView(0));
}
