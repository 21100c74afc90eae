#include "Movement/MovementSettings.h"

#include "Platform/Json/JsonFields.h"
#include "Support/EnumTextJson.h"

namespace veltrane {

namespace {

// Each record's keys and fields, listed once: the writer and the strict reader both walk them.
template <class V>
void fields(ArpeggiatorConfig& r, V&& v)
{
    v("pattern", r.pattern);
    v("stepCount", r.stepCount);
    v("radius", r.radius);
    v("rate", r.rate);
    v("axis", r.axis);
}
template <class V>
void fields(EuclideanConfig& r, V&& v)
{
    v("pulses", r.pulses);
    v("steps", r.steps);
    v("rotationOffset", r.rotationOffset);
    v("axis", r.axis);
    v("stepSize", r.stepSize);
    v("rate", r.rate);
}
template <class V>
void fields(MarkovConfig& r, V&& v)
{
    v("driftAmount", r.driftAmount);
    v("jumpProbability", r.jumpProbability);
    v("memory", r.memory);
    v("boundaryAttraction", r.boundaryAttraction);
}
template <class V>
void fields(LSystemConfig& r, V&& v)
{
    v("preset", r.preset);
    v("axiom", r.axiom);
    v("rules", r.rules);
    v("iterations", r.iterations);
    v("stepSize", r.stepSize);
    v("angle", r.angle);
    v("rate", r.rate);
}
template <class V>
void fields(MovementSettings& r, V&& v)
{
    v("enabled", r.enabled);
    v("mode", r.mode);
    v("bpm", r.bpm);
    v("subdivision", r.subdivision);
    v("arp", r.arp);
    v("euclidean", r.euclidean);
    v("markov", r.markov);
    v("lsystem", r.lsystem);
    v("lerpSpeed", r.lerpSpeed);
    v("manualResumeDelay", r.manualResumeDelay);
}

template <class R>
concept Record = requires(R& r)
{
    fields(r, [](const char*, auto&) {});
};

template <class T>
void put(Json::Value& json, const T& value)
{
    if constexpr (Record<T>) {
        T copy = value;
        json = Json::Value::object();
        fields(copy, [&json](const char* key, const auto& field) { put(json[key], field); });
    } else if constexpr (TextEnum<T>) {
        enumToJson(json, value);
    } else {
        json = value; // numbers, booleans, texts and the rules (an object of texts)
    }
}

template <class T>
void take(const Json::Value& object, const char* key, const std::string& what, T& out);

// Every field is read before the record is stored: a failure leaves `out` as it was.
template <Record R>
void readRecord(const Json::Value& json, const std::string& what, R& out)
{
    R record;
    fields(record, [&json, &what](const char* key, auto& field) { take(json, key, what, field); });
    out = std::move(record);
}

template <class T>
void take(const Json::Value& object, const char* key, const std::string& what, T& out)
{
    if constexpr (Record<T>) {
        readRecord(Json::field(object, key, what), key, out);
    } else if constexpr (TextEnum<T>) {
        enumFromJson(Json::field(object, key, what), out, what + "." + key);
    } else if constexpr (std::is_same_v<T, bool>) {
        out = Json::requiredBool(object, key, what);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        out = Json::requiredInteger(object, key, what);
    } else if constexpr (std::is_same_v<T, double>) {
        out = Json::requiredNumber(object, key, what);
    } else if constexpr (std::is_same_v<T, std::string>) {
        out = Json::requiredText(object, key, what);
    } else {
        static_assert(std::is_same_v<T, LSystemConfig::Rules>);
        const Json::Value& rules = Json::field(object, key, what);
        if (!rules.is_object()) throw Json::wrongType(key, what, "an object of texts");
        out.clear();
        for (const auto& [from, to] : rules.items()) {
            if (!to.is_string()) throw Json::wrongType(key, what, "an object of texts");
            out.emplace(from, to.template get<std::string>());
        }
    }
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

void to_json(Json::Value& json, const ArpeggiatorConfig& v) { put(json, v); }
void from_json(const Json::Value& json, ArpeggiatorConfig& v) { readRecord(json, "arp", v); }
void to_json(Json::Value& json, const EuclideanConfig& v) { put(json, v); }
void from_json(const Json::Value& json, EuclideanConfig& v) { readRecord(json, "euclidean", v); }
void to_json(Json::Value& json, const MarkovConfig& v) { put(json, v); }
void from_json(const Json::Value& json, MarkovConfig& v) { readRecord(json, "markov", v); }
void to_json(Json::Value& json, const LSystemConfig& v) { put(json, v); }
void from_json(const Json::Value& json, LSystemConfig& v) { readRecord(json, "lsystem", v); }
void to_json(Json::Value& json, const MovementSettings& v) { put(json, v); }
void from_json(const Json::Value& json, MovementSettings& v) { readRecord(json, "movement", v); }

} // namespace veltrane
