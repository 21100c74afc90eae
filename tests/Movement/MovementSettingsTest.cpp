#include "Movement/MovementSettings.h"
#include "Platform/Json/Json.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace veltrane {
namespace {

Json::Value encode(const MovementSettings& settings) { return Json::Value(settings); }
MovementSettings decode(const Json::Value& json) { return json.get<MovementSettings>(); }

TEST(MovementSettings, DefaultsEncodeToTheDocumentedFormAndBack)
{
    const MovementSettings settings;
    const Json::Value json = encode(settings);
    EXPECT_EQ(Json::write(json["lsystem"]), R"({"angle":90,"axiom":"A","iterations":3,"preset":"hilbert","rate":2,)"
                                            R"("rules":{"A":"-BF+AFA+FB-","B":"+AF-BFB-FA+"},"stepSize":0.02})");
    EXPECT_EQ(Json::write(json),
              R"({"arp":{"axis":"xy","pattern":"up","radius":0.1,"rate":1,"stepCount":8},"bpm":120,"enabled":false,)"
              R"("euclidean":{"axis":"combined","pulses":3,"rate":1,"rotationOffset":0,"stepSize":0.05,"steps":8},)"
              R"("lerpSpeed":0.15,"lsystem":{"angle":90,"axiom":"A","iterations":3,"preset":"hilbert","rate":2,)"
              R"("rules":{"A":"-BF+AFA+FB-","B":"+AF-BFB-FA+"},"stepSize":0.02},"manualResumeDelay":2,)"
              R"("markov":{"boundaryAttraction":0.5,"driftAmount":0.3,"jumpProbability":0.1,"memory":2},)"
              R"("mode":"arpeggiator","subdivision":4})");
    EXPECT_EQ(decode(Json::parse(Json::write(json))), settings);
    EXPECT_DOUBLE_EQ(settings.tickDuration(), 0.125);

    MovementSettings changed;
    changed.enabled = true;
    changed.mode = MovementMode::lsystem;
    changed.euclidean.axis = EuclideanConfig::Axis::rotation;
    changed.lsystem.rules = LSystemConfig::presets()[2].ruleMap();
    changed.markov.memory = -1; // not clamped here
    EXPECT_EQ(decode(Json::parse(Json::write(encode(changed)))), changed);
}

// Every key of every level, as a path from the top; the members of "rules" are data, not keys.
void collectKeys(const Json::Value& object, std::vector<std::string> prefix, std::vector<std::vector<std::string>>& out)
{
    for (const auto& [key, value] : object.items()) {
        std::vector<std::string> path = prefix;
        path.push_back(key);
        out.push_back(path);
        if (value.is_object() && key != "rules") collectKeys(value, path, out);
    }
}

Json::Value& at(Json::Value& json, const std::vector<std::string>& path, std::size_t depth)
{
    Json::Value* node = &json;
    for (std::size_t i = 0; i < depth; ++i) node = &(*node)[path[i]];
    return *node;
}

TEST(MovementSettings, RemovingAnySingleKeyFailsTheDecode)
{
    const Json::Value full = encode(MovementSettings{});
    std::vector<std::vector<std::string>> paths;
    collectKeys(full, {}, paths);
    EXPECT_EQ(paths.size(), 10u + 5 + 6 + 4 + 7);
    for (const auto& path : paths) {
        Json::Value json = full;
        at(json, path, path.size() - 1).erase(path.back());
        EXPECT_THROW(decode(json), Json::Error) << path.back();
    }
}

TEST(MovementSettings, DecodingIsStrictAboutTypesAndTexts)
{
    struct Case {
        std::vector<std::string> path;
        Json::Value value;
        bool decodes;
    };
    const Case cases[] = {
        {{"mode"}, "ARP", false}, // the short label is no stored text
        {{"mode"}, "markov", true},
        {{"mode"}, "Markov", false},
        {{"subdivision"}, 4.0, false}, // an integer that arrives as a fraction
        {{"arp", "stepCount"}, 8.5, false},
        {{"subdivision"}, Json::Value(std::uint64_t{1} << 63), false}, // past the signed range
        {{"bpm"}, 90, true},                                           // integers are numbers
        {{"bpm"}, "120", false},
        {{"enabled"}, 1, false},
        {{"euclidean", "axis"}, "diagonal", false},
        {{"arp", "pattern"}, "pendulum", true},
        {{"lsystem", "rules", "A"}, 3, false},
        {{"lsystem", "rules"}, Json::Value::array(), false},
        {{"markov"}, Json::Value::array(), false},
        {{"markov", "memory"}, nullptr, false},
        {{"unknownKey"}, "ignored", true},
    };
    for (const Case& c : cases) {
        Json::Value json = encode(MovementSettings{});
        at(json, c.path, c.path.size()) = c.value;
        if (c.decodes)
            EXPECT_NO_THROW(decode(json)) << c.path.back();
        else
            EXPECT_THROW(decode(json), Json::Error) << c.path.back();
    }
}

TEST(MovementSettings, EqualityComparesEveryFieldAndModesKeepTheirConfigurations)
{
    MovementSettings a, b;
    b.lsystem.preset = "dragon";
    EXPECT_NE(a, b);
    b = a;
    b.lsystem.rules["A"] = "F";
    EXPECT_NE(a, b);

    MovementSettings settings;
    settings.arp.radius = 0.3;
    const MovementSettings before = settings;
    settings.mode = MovementMode::markov;
    settings.mode = MovementMode::arpeggiator;
    EXPECT_EQ(settings, before);
}

TEST(MovementSettings, TablesForTheMovementTab)
{
    std::vector<std::string> texts, labels;
    for (MovementMode mode : allCases<MovementMode>) {
        texts.emplace_back(toText(mode));
        labels.emplace_back(shortLabel(mode));
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"arpeggiator", "euclidean", "markov", "lsystem"}));
    EXPECT_EQ(labels, (std::vector<std::string>{"ARP", "EUC", "MKV", "LSY"}));
    EXPECT_EQ(toText(allCases<EuclideanConfig::Axis>.back()), "combined");

    const auto presets = LSystemConfig::presets();
    ASSERT_EQ(presets.size(), 4u);
    EXPECT_EQ(presets[2].name, "Sierpinski");
    EXPECT_EQ(presets[2].angle, 120);
    // The defaults are the Hilbert preset.
    const LSystemConfig defaults;
    EXPECT_EQ(defaults.preset, presets[0].id);
    EXPECT_EQ(defaults.axiom, presets[0].axiom);
    EXPECT_EQ(defaults.rules, presets[0].ruleMap());
    EXPECT_EQ(defaults.angle, presets[0].angle);
}

} // namespace
} // namespace veltrane
