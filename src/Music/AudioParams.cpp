#include "Music/AudioParams.h"

#include "Support/EnumTextJson.h"

#include <cmath>
#include <string>
#include <utility>

namespace veltrane {

namespace {

// Visits the fields of one record: `visit(key, field)`.
template <class Params, class Visit>
void forEachField(Params& p, Visit&& visit)
{
    AudioParams::forEachField([&](const char* key, auto member) { visit(key, p.*member); });
}

std::string fieldError(const char* key, const char* what)
{
    return std::string("AudioParams \"") + key + "\": " + what;
}

void readField(const Json::Value& json, const char* key, double& field)
{
    if (!json.is_number()) throw Json::Error(fieldError(key, "expected a number"));
    field = json.get<double>();
}

template <TextEnum E>
void readField(const Json::Value& json, const char* key, E& field)
{
    enumFromJson(json, field, std::string("AudioParams \"") + key + "\"");
}

void readField(const Json::Value& json, const char* key, AudioParams::Rolloff& field)
{
    // An integral number only: -12.0 reads as -12, -12.5 and "-12" do not.
    if (!json.is_number()) throw Json::Error(fieldError(key, "expected an integer"));
    const double value = json.get<double>();
    std::optional<AudioParams::Rolloff> rolloff;
    if (value == std::floor(value) && std::abs(value) < 1e9) rolloff = rolloffFromRawValue(static_cast<int>(value));
    if (!rolloff) throw Json::Error(fieldError(key, "not one of -12, -24, -48"));
    field = *rolloff;
}

Json::Value number(const char* key, double value)
{
    if (!std::isfinite(value)) throw Json::Error(fieldError(key, "cannot write a non-finite number"));
    return value;
}

} // namespace

void to_json(Json::Value& json, AudioParams::FilterType value) { enumToJson(json, value); }
void from_json(const Json::Value& json, AudioParams::FilterType& value) { enumFromJson(json, value, "filterType"); }
void to_json(Json::Value& json, AudioParams::NoiseType value) { enumToJson(json, value); }
void from_json(const Json::Value& json, AudioParams::NoiseType& value) { enumFromJson(json, value, "noiseType"); }
void to_json(Json::Value& json, AudioParams::SynthMode value) { enumToJson(json, value); }
void from_json(const Json::Value& json, AudioParams::SynthMode& value) { enumFromJson(json, value, "synthMode"); }
void to_json(Json::Value& json, AudioParams::Rolloff value) { json = rawValue(value); }
void from_json(const Json::Value& json, AudioParams::Rolloff& value) { readField(json, "filterRolloff", value); }

void to_json(Json::Value& json, const AudioParams& params)
{
    // Built aside and moved in at the end: nlohmann calls this from inside a Json::Value
    // constructor, where a throw after `json` took an object would leak that object.
    Json::Value result = Json::Value::object();
    forEachField(params, [&result](const char* key, const auto& field) {
        if constexpr (std::is_same_v<std::decay_t<decltype(field)>, double>)
            result[key] = number(key, field);
        else
            result[key] = field;
    });
    json = std::move(result);
}

void from_json(const Json::Value& json, AudioParams& params)
{
    if (!json.is_object()) throw Json::Error("AudioParams: expected an object");
    AudioParams result = AudioParams::defaults();
    forEachField(result, [&json](const char* key, auto& field) {
        const auto it = json.find(key);
        if (it != json.end() && !it->is_null()) readField(*it, key, field);
    });
    params = result; // nothing partial reaches the caller
}

} // namespace veltrane
