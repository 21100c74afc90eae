#include "FractalRender/Motion.h"

#include "FractalCore/CoreJson.h"
#include "Platform/Json/JsonFields.h"
#include "Support/EnumTextJson.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <system_error>

namespace veltrane {

using Json::optionalNumber;
using Json::requiredNumber;

namespace {

void requireFinite(double value, const char* key, const std::string& what)
{
    if (!std::isfinite(value)) throw Json::Error(what + ": \"" + key + "\" is not a finite number");
}

void requireZoom(double value, const char* key, const std::string& what)
{
    if (!(std::isfinite(value) && value > 0))
        throw Json::Error(what + ": \"" + key + "\" must be a positive finite zoom, not " + std::to_string(value));
}

} // namespace

void Motion::validate() const
{
    const std::string what = "Motion";
    requireFinite(centerX, "centerX", what);
    requireFinite(centerY, "centerY", what);
    if (!(durationSec >= 0 && durationSec * 60 < double(INT_MAX)))
        throw Json::Error(what + ": \"durationSec\" must be a non-negative number of seconds, not " +
                          std::to_string(durationSec));
    if (segments.empty()) throw Json::Error(what + ": \"segments\" is empty; a script needs at least one segment");
    for (size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        const std::string where = what + " segment " + std::to_string(i);
        requireFinite(s.from, "from", where);
        requireFinite(s.to, "to", where);
        if (!(s.to > s.from))
            throw Json::Error(where + ": \"to\" (" + std::to_string(s.to) + ") is not after \"from\" (" +
                              std::to_string(s.from) + ")");
        requireZoom(s.zoomFrom, "zoomFrom", where);
        requireZoom(s.zoomTo, "zoomTo", where);
        if (s.circleRadiusViews) requireFinite(*s.circleRadiusViews, "circleRadiusViews", where);
        if (s.rotationAmplitude) requireFinite(*s.rotationAmplitude, "rotationAmplitude", where);
    }
}

Motion Motion::load(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::filesystem::filesystem_error("cannot read motion script", path,
                                                std::error_code(errno ? errno : ENOENT, std::generic_category()));
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad())
        throw std::filesystem::filesystem_error("cannot read motion script", path,
                                                std::make_error_code(std::errc::io_error));
    return Json::parse(text).get<Motion>();
}

FractalTarget Motion::at(double t) const
{
    if (segments.empty()) throw Json::Error("Motion: \"segments\" is empty; a script needs at least one segment");
    const Segment* active = &segments.back();
    for (const Segment& s : segments) {
        if (s.from <= t && t < s.to) {
            active = &s;
            break;
        }
    }
    double u = (t - active->from) / (active->to - active->from);
    if (!(u > 0)) u = 0; // also a time that is not a number
    if (u > 1) u = 1;
    double zoom = std::exp(std::log(active->zoomFrom) * (1 - u) + std::log(active->zoomTo) * u);
    FractalTarget target{centerX, centerY, zoom, 0};
    if (active->circleRadiusViews) {
        double angle = 2 * std::numbers::pi * u;
        double d = *active->circleRadiusViews * 2.5 / zoom;
        target.centerX = centerX + std::cos(angle) * d;
        target.centerY = centerY + std::sin(angle) * d;
        target.rotation = active->rotationAmplitude ? std::sin(angle) * *active->rotationAmplitude : 0;
    }
    return target;
}

int Motion::frameCount() const
{
    if (!(durationSec > 0)) return 0;
    double n = durationSec * 60;
    return n < double(INT_MAX) ? int(n) : INT_MAX;
}

void to_json(Json::Value& json, const Motion::Segment& segment)
{
    json = Json::Value{
        {"from", segment.from}, {"to", segment.to}, {"zoomFrom", segment.zoomFrom}, {"zoomTo", segment.zoomTo}};
    if (segment.circleRadiusViews) json["circleRadiusViews"] = *segment.circleRadiusViews;
    if (segment.rotationAmplitude) json["rotationAmplitude"] = *segment.rotationAmplitude;
}

void from_json(const Json::Value& json, Motion::Segment& segment)
{
    const std::string what = "Motion segment";
    Motion::Segment parsed;
    parsed.from = requiredNumber(json, "from", what);
    parsed.to = requiredNumber(json, "to", what);
    parsed.zoomFrom = requiredNumber(json, "zoomFrom", what);
    parsed.zoomTo = requiredNumber(json, "zoomTo", what);
    parsed.circleRadiusViews = optionalNumber(json, "circleRadiusViews", what);
    parsed.rotationAmplitude = optionalNumber(json, "rotationAmplitude", what);
    segment = parsed;
}

void to_json(Json::Value& json, const Motion& motion)
{
    json = Json::Value{{"centerX", motion.centerX},          {"centerY", motion.centerY},
                       {"durationSec", motion.durationSec},  {"segments", motion.segments},
                       {"fractalType", motion.fractalType},  {"colorPalette", motion.colorPalette},
                       {"canvasPixels", motion.canvasPixels}};
}

void from_json(const Json::Value& json, Motion& motion)
{
    const std::string what = "Motion";
    Motion parsed;
    parsed.centerX = requiredNumber(json, "centerX", what);
    parsed.centerY = requiredNumber(json, "centerY", what);
    parsed.durationSec = requiredNumber(json, "durationSec", what);
    const Json::Value& segments = Json::field(json, "segments", what);
    if (!segments.is_array()) throw Json::Error(what + ": \"segments\" is not a list");
    for (const Json::Value& segment : segments) parsed.segments.push_back(segment.get<Motion::Segment>());
    enumFromJson(Json::field(json, "fractalType", what), parsed.fractalType, "Motion fractalType");
    enumFromJson(Json::field(json, "colorPalette", what), parsed.colorPalette, "Motion colorPalette");
    const Json::Value& pixels = Json::field(json, "canvasPixels", what);
    if (!pixels.is_array()) throw Json::Error(what + ": \"canvasPixels\" is not a list");
    for (const Json::Value& p : pixels) {
        if (!p.is_number_integer()) throw Json::Error(what + ": \"canvasPixels\" holds a value that is not an integer");
        parsed.canvasPixels.push_back(p.get<std::int64_t>());
    }
    parsed.validate();
    motion = std::move(parsed);
}

} // namespace veltrane
