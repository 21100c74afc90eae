#include "Movement/MovementSettings.h"

#include "Platform/Json/JsonFields.h"

namespace veltrane {

namespace {

using Json::requiredBool;
using Json::requiredInteger;
using Json::requiredNumber;
using Json::requiredText;

template <TextEnum E>
E requiredCase(const Json::Value& object, const char* key, std::string_view what)
{
    E value{};
    enumFromJson(Json::field(object, key, what), value, std::string(what) + "." + key);
    return value;
}

template <class Record>
Record requiredRecord(const Json::Value& object, const char* key, std::string_view what)
{
    return Json::field(object, key, what).get<Record>();
}

constexpr std::pair<std::string_view, std::string_view> hilbertRules[]{{"A", "-BF+AFA+FB-"}, {"B", "+AF-BFB-FA+"}};
constexpr std::pair<std::string_view, std::string_view> dragonRules[]{{"X", "X+YF+"}, {"Y", "-FX-Y"}};
constexpr std::pair<std::string_view, std::string_view> sierpinskiRules[]{{"F", "F-G+F+G-F"}, {"G", "GG"}};
constexpr std::pair<std::string_view, std::string_view> kochRules[]{{"F", "F+F-F-F+F"}};

constexpr LSystemConfig::Preset presetTable[]{
    {"hilbert", "Hilbert", "A", hilbertRules, 90},
    {"dragon", "Dragon", "FX", dragonRules, 90},
    {"sierpinski", "Sierpinski", "F-G-G", sierpinskiRules, 120},
    {"koch", "Koch", "F", kochRules, 90},
};

} // namespace

std::span<const LSystemConfig::Preset> LSystemConfig::presets() noexcept { return presetTable; }

LSystemConfig::Rules LSystemConfig::Preset::ruleMap() const
{
    Rules map;
    for (const auto& [from, to] : rules) map.emplace(from, to);
    return map;
}

void to_json(Json::Value& json, MovementMode value) { enumToJson(json, value); }
void from_json(const Json::Value& json, MovementMode& value) { enumFromJson(json, value, "movement mode"); }

void to_json(Json::Value& json, const ArpeggiatorConfig& v)
{
    json = Json::Value::object();
    enumToJson(json["pattern"], v.pattern);
    json["stepCount"] = v.stepCount;
    json["radius"] = v.radius;
    json["rate"] = v.rate;
    enumToJson(json["axis"], v.axis);
}

void from_json(const Json::Value& json, ArpeggiatorConfig& v)
{
    constexpr std::string_view what = "arp";
    ArpeggiatorConfig r;
    r.pattern = requiredCase<ArpeggiatorConfig::Pattern>(json, "pattern", what);
    r.stepCount = requiredInteger(json, "stepCount", what);
    r.radius = requiredNumber(json, "radius", what);
    r.rate = requiredNumber(json, "rate", what);
    r.axis = requiredCase<ArpeggiatorConfig::Axis>(json, "axis", what);
    v = r;
}

void to_json(Json::Value& json, const EuclideanConfig& v)
{
    json = Json::Value::object();
    json["pulses"] = v.pulses;
    json["steps"] = v.steps;
    json["rotationOffset"] = v.rotationOffset;
    enumToJson(json["axis"], v.axis);
    json["stepSize"] = v.stepSize;
    json["rate"] = v.rate;
}

void from_json(const Json::Value& json, EuclideanConfig& v)
{
    constexpr std::string_view what = "euclidean";
    EuclideanConfig r;
    r.pulses = requiredInteger(json, "pulses", what);
    r.steps = requiredInteger(json, "steps", what);
    r.rotationOffset = requiredInteger(json, "rotationOffset", what);
    r.axis = requiredCase<EuclideanConfig::Axis>(json, "axis", what);
    r.stepSize = requiredNumber(json, "stepSize", what);
    r.rate = requiredNumber(json, "rate", what);
    v = r;
}

void to_json(Json::Value& json, const MarkovConfig& v)
{
    json = Json::Value::object();
    json["driftAmount"] = v.driftAmount;
    json["jumpProbability"] = v.jumpProbability;
    json["memory"] = v.memory;
    json["boundaryAttraction"] = v.boundaryAttraction;
}

void from_json(const Json::Value& json, MarkovConfig& v)
{
    constexpr std::string_view what = "markov";
    MarkovConfig r;
    r.driftAmount = requiredNumber(json, "driftAmount", what);
    r.jumpProbability = requiredNumber(json, "jumpProbability", what);
    r.memory = requiredInteger(json, "memory", what);
    r.boundaryAttraction = requiredNumber(json, "boundaryAttraction", what);
    v = r;
}

void to_json(Json::Value& json, const LSystemConfig& v)
{
    json = Json::Value::object();
    json["preset"] = v.preset;
    json["axiom"] = v.axiom;
    Json::Value& rules = json["rules"] = Json::Value::object();
    for (const auto& [from, to] : v.rules) rules[from] = to;
    json["iterations"] = v.iterations;
    json["stepSize"] = v.stepSize;
    json["angle"] = v.angle;
    json["rate"] = v.rate;
}

void from_json(const Json::Value& json, LSystemConfig& v)
{
    constexpr std::string_view what = "lsystem";
    LSystemConfig r;
    r.preset = requiredText(json, "preset", what);
    r.axiom = requiredText(json, "axiom", what);
    const Json::Value& rules = Json::field(json, "rules", what);
    if (!rules.is_object()) throw Json::wrongType("rules", what, "an object");
    r.rules.clear();
    for (const auto& [from, to] : rules.items()) {
        if (!to.is_string()) throw Json::wrongType("rules", what, "an object of texts");
        r.rules.emplace(from, to.get<std::string>());
    }
    r.iterations = requiredInteger(json, "iterations", what);
    r.stepSize = requiredNumber(json, "stepSize", what);
    r.angle = requiredNumber(json, "angle", what);
    r.rate = requiredNumber(json, "rate", what);
    v = std::move(r);
}

void to_json(Json::Value& json, const MovementSettings& v)
{
    json = Json::Value::object();
    json["enabled"] = v.enabled;
    to_json(json["mode"], v.mode);
    json["bpm"] = v.bpm;
    json["subdivision"] = v.subdivision;
    to_json(json["arp"], v.arp);
    to_json(json["euclidean"], v.euclidean);
    to_json(json["markov"], v.markov);
    to_json(json["lsystem"], v.lsystem);
    json["lerpSpeed"] = v.lerpSpeed;
    json["manualResumeDelay"] = v.manualResumeDelay;
}

void from_json(const Json::Value& json, MovementSettings& v)
{
    constexpr std::string_view what = "movement";
    MovementSettings r;
    r.enabled = requiredBool(json, "enabled", what);
    r.mode = requiredCase<MovementMode>(json, "mode", what);
    r.bpm = requiredNumber(json, "bpm", what);
    r.subdivision = requiredInteger(json, "subdivision", what);
    r.arp = requiredRecord<ArpeggiatorConfig>(json, "arp", what);
    r.euclidean = requiredRecord<EuclideanConfig>(json, "euclidean", what);
    r.markov = requiredRecord<MarkovConfig>(json, "markov", what);
    r.lsystem = requiredRecord<LSystemConfig>(json, "lsystem", what);
    r.lerpSpeed = requiredNumber(json, "lerpSpeed", what);
    r.manualResumeDelay = requiredNumber(json, "manualResumeDelay", what);
    v = std::move(r);
}

} // namespace veltrane
