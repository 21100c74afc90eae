#include "Music/LockedTone.h"

#include "Music/Notes.h"
#include "Platform/Json/Json.h"

#include <cmath>
#include <utility>

namespace veltrane {

LockedTone LockedTone::locking(const AudioParams& params, std::string waveform)
{
    LockedTone tone;
    tone.params = params;
    tone.waveform = std::move(waveform);
    tone.baseFrequency = params.frequency;
    tone.baseMidiNote = Notes::frequencyToMidi(params.frequency);
    return tone;
}

namespace {

const Json::Value& required(const Json::Value& json, const char* key)
{
    const auto it = json.find(key);
    if (it == json.end() || it->is_null()) throw Json::Error(std::string("LockedTone: missing \"") + key + "\"");
    return *it;
}

} // namespace

void to_json(Json::Value& json, const LockedTone& tone)
{
    if (!std::isfinite(tone.baseFrequency))
        throw Json::Error("LockedTone \"baseFrequency\": cannot write a non-finite number");
    // Built aside (see AudioParams' to_json): `params` may still throw.
    Json::Value result = Json::Value::object();
    result["params"] = tone.params;
    result["waveform"] = tone.waveform;
    result["baseFrequency"] = tone.baseFrequency;
    result["baseMidiNote"] = tone.baseMidiNote;
    json = std::move(result);
}

void from_json(const Json::Value& json, LockedTone& tone)
{
    if (!json.is_object()) throw Json::Error("LockedTone: expected an object");
    LockedTone result;
    result.params = required(json, "params").get<AudioParams>();

    const Json::Value& waveform = required(json, "waveform");
    if (!waveform.is_string()) throw Json::Error("LockedTone \"waveform\": expected a text");
    result.waveform = waveform.get<std::string>();

    const Json::Value& frequency = required(json, "baseFrequency");
    if (!frequency.is_number()) throw Json::Error("LockedTone \"baseFrequency\": expected a number");
    result.baseFrequency = frequency.get<double>();

    const Json::Value& note = required(json, "baseMidiNote");
    const double value = note.is_number() ? note.get<double>() : 0.5;
    if (value != std::floor(value) || value < -2147483648.0 || value > 2147483647.0)
        throw Json::Error("LockedTone \"baseMidiNote\": expected an integer");
    result.baseMidiNote = static_cast<int>(value);

    tone = std::move(result);
}

} // namespace veltrane
