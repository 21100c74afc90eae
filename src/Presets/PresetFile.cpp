#include "Presets/PresetFile.h"

#include "Platform/Json/JsonFields.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace veltrane::PresetFile {

namespace {

Envelope readEnvelope(const Json::Value& json)
{
    Envelope envelope;
    envelope.version = Json::requiredInteger(json, "version", "Preset file");
    if (const auto it = json.find("exportedAt"); it != json.end() && !it->is_null()) {
        if (!it->is_string()) throw Json::wrongType("exportedAt", "Preset file", "a text");
        envelope.exportedAt = it->get<std::string>();
    }
    const Json::Value& list = Json::field(json, "presets", "Preset file");
    if (!list.is_array()) throw Json::wrongType("presets", "Preset file", "a list");
    envelope.presets = list.get<std::vector<Preset>>();
    return envelope;
}

// nlohmann reports its own type errors with its own exception; the file's callers see Json::Error.
template <class F>
auto asJsonError(F&& f) -> decltype(f())
{
    try {
        return f();
    } catch (const nlohmann::json::exception& error) {
        throw Json::Error(error.what());
    }
}

} // namespace

std::string internetDateTime(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    const int millis = static_cast<int>(ms - static_cast<long long>(seconds) * 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

std::vector<std::uint8_t> encode(const std::vector<Preset>& presets, std::chrono::system_clock::time_point exportedAt)
{
    Json::Value json = Json::Value::object();
    json["version"] = currentVersion;
    json["exportedAt"] = internetDateTime(exportedAt);
    json["presets"] = presets;
    const std::string text = Json::write(json, Json::Style::pretty);
    return {text.begin(), text.end()};
}

std::vector<Preset> decode(std::span<const std::uint8_t> bytes)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    // The text is parsed once; the three attempts of the format differ only in how they read it.
    std::optional<Json::Value> json;
    try {
        json = Json::parse(text);
    } catch (const Json::Error&) {}
    if (json) {
        try {
            Envelope envelope = asJsonError([&] { return readEnvelope(*json); });
            if (envelope.version != 1 && envelope.version != 2) throw Error::unsupportedVersion(envelope.version);
            return std::move(envelope.presets);
        } catch (const Json::Error&) {}
        if (json->is_array()) {
            try {
                return asJsonError([&] { return json->get<std::vector<Preset>>(); });
            } catch (const Json::Error&) {}
        }
    }
    // Neither form: the envelope reading's own error describes the first problem.
    if (!json) json = Json::parse(text); // throws the parser's error
    asJsonError([&] { return readEnvelope(*json); });
    throw Error::invalidFormat();
}

namespace {

bool allFinite(const Preset& p)
{
    bool finite = std::isfinite(p.centerX) && std::isfinite(p.centerY) && std::isfinite(p.zoom) &&
                  std::isfinite(p.rotation) && (!p.log2Zoom || std::isfinite(*p.log2Zoom)) &&
                  (!p.juliaC || (std::isfinite(p.juliaC->x) && std::isfinite(p.juliaC->y)));
    // Every number of the sound: its JSON writer refuses a non-finite one.
    try {
        Json::Value sound;
        to_json(sound, p.audioParams);
    } catch (const Json::Error&) {
        finite = false;
    }
    return finite;
}

// The raw preset objects of a file that decode accepted: the envelope's list or the bare array.
const Json::Value* rawList(const Json::Value& json)
{
    if (json.is_array()) return &json;
    if (const auto it = json.find("presets"); json.is_object() && it != json.end()) return &*it;
    return nullptr;
}

// JSON has no infinities and its parser refuses a number past the range of a double, which would
// fail the whole file. For import such a number is a defect of its own preset only: the number is
// turned into a marker text, which the checks below recognise and which decodes as 0.
constexpr std::string_view overflowMarker = "\\u0000overflow"; // JSON text of a NUL and "overflow"

std::string markOverflowingNumbers(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    bool inString = false;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (inString) {
            out.push_back(c);
            if (c == '\\' && i + 1 < text.size())
                out.push_back(text[++i]);
            else if (c == '"')
                inString = false;
            ++i;
        } else if (c == '"') {
            inString = true;
            out.push_back(c);
            ++i;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t end = i + 1;
            while (end < text.size() && std::string_view("0123456789+-.eE").find(text[end]) != std::string_view::npos)
                ++end;
            const std::string token(text.substr(i, end - i));
            if (std::isinf(std::strtod(token.c_str(), nullptr)))
                out += "\"" + std::string(overflowMarker) + "\"";
            else
                out += token;
            i = end;
        } else {
            out.push_back(c);
            ++i;
        }
    }
    return out;
}

// Replaces the markers in a preset object by 0; true when there were any.
bool clearOverflowMarkers(Json::Value& value)
{
    bool found = false;
    if (value.is_string() && value.get_ref<const std::string&>() == std::string("\0overflow", 9)) {
        value = 0;
        return true;
    }
    if (value.is_structured())
        for (auto& child : value) found = clearOverflowMarkers(child) || found;
    return found;
}

} // namespace

std::vector<Checked> decodeChecked(std::span<const std::uint8_t> bytes)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::vector<Preset> presets;
    std::vector<bool> overflowed;
    try {
        presets = decode(bytes);
    } catch (const Json::Error&) {
        // Only a number past the range of a double gets a second reading; every other fault stands.
        const std::string marked = markOverflowingNumbers(text);
        if (marked == text) throw;
        Json::Value json = Json::parse(marked);
        Json::Value* list = json.is_array()                                ? &json
                            : json.is_object() && json.contains("presets") ? &json["presets"]
                                                                           : nullptr;
        if (!list || !list->is_array()) throw;
        for (auto& object : *list) overflowed.push_back(clearOverflowMarkers(object));
        const std::string cleared = Json::write(json);
        presets = decode(std::span(reinterpret_cast<const std::uint8_t*>(cleared.data()), cleared.size()));
    }
    const Json::Value json = Json::parse(overflowed.empty() ? std::string(text) : markOverflowingNumbers(text));
    const Json::Value* raw = rawList(json);
    std::vector<Checked> out;
    out.reserve(presets.size());
    for (std::size_t i = 0; i < presets.size(); ++i) {
        Checked checked{std::move(presets[i]), std::nullopt};
        const Preset& p = checked.preset;
        const std::string named = "the preset \"" + p.name + "\"";
        std::optional<std::string> typeText;
        if (raw && i < raw->size()) {
            const Json::Value& object = (*raw)[i];
            if (const auto it = object.find("fractalType"); it != object.end() && !it->is_null())
                if (!it->is_string() || !fromText<FractalType>(it->get_ref<const std::string&>()))
                    typeText = it->dump();
        }
        if ((i < overflowed.size() && overflowed[i]) || !allFinite(p))
            checked.defect = named + " has a number that is not finite";
        else if (!(p.zoom > 0))
            checked.defect = named + " has a zoom of 0 or less";
        else if (typeText)
            checked.defect = named + " has an unknown fractal type " + *typeText;
        out.push_back(std::move(checked));
    }
    return out;
}

} // namespace veltrane::PresetFile
