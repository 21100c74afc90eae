// libFuzzer target: any bytes through the take file reader, and every take it accepts through the
// writer, the reader again and the view interpolation. Besides crashes and sanitizer reports, it
// stops on an accepted take that breaks what the reader promises or that does not survive its own
// file, and on any text where the JSON event reader the take reader stands on and the JSON document
// parser disagree (on accepting it, or on what it holds).
#include "Require.h"
#include "Takes/Take.h"
#include "Takes/TakeRenderer.h"

#include "Platform/Json/Json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace veltrane;
using veltrane::fuzz::require;

namespace {

void check(const Take& take)
{
    require(take.sampleRate >= Take::minSampleRate && take.sampleRate <= Take::maxSampleRate, "a playable rate");
    require(take.length >= 0 && double(take.length) <= Take::maxSeconds * take.sampleRate, "at most a day");
    for (const auto& e : take.events)
        require(std::isfinite(e.value) && std::isfinite(e.value2) && std::isfinite(e.value3), "finite event values");
    for (const auto& o : take.orbits) {
        require(o.length <= std::int64_t(o.points.size() / 2), "an orbit within its points");
        for (double p : o.points) require(std::isfinite(p), "finite points");
    }
    for (const auto& v : take.views) require(v.zoom > 0 && std::isfinite(v.zoom), "a zoom above 0");

    const std::string file = take.encoded(); // throws for nothing an accepted take holds
    require(Take::decode(file) == take, "a take survives its file");

    // Frames at, between and around the views, in any order they came in.
    for (const auto& v : take.views)
        for (std::int64_t d : {std::int64_t{-1}, std::int64_t{0}, std::int64_t{1}}) {
            const auto [view, post] = TakeRenderer::view(v.frame + (d > 0 && v.frame == INT64_MAX ? 0 : d), take);
            require(view.zoom > 0 && !std::isnan(view.zoom), "an interpolated zoom above 0");
            require(!view.deepCentre || view.zoom > 1e11, "a deep centre only past 1e11");
        }
    for (const auto& h : take.hud) require(take.hudState(h.frame).has_value(), "a HUD state at each HUD frame");
}

// The document the event reader reports, built as the document parser builds one (a repeated key:
// the last value wins).
struct Builder final : Json::Events {
    Json::Value root;
    std::vector<Json::Value*> open;
    std::vector<std::string> keys;

    Json::Value& slot()
    {
        if (open.empty()) return root;
        Json::Value& top = *open.back();
        if (top.is_array()) {
            top.push_back(nullptr);
            return top.back();
        }
        return top[keys.back()];
    }
    void enter(Json::Value value)
    {
        Json::Value& s = slot();
        s = std::move(value);
        open.push_back(&s);
        keys.emplace_back();
    }
    void leave()
    {
        open.pop_back();
        keys.pop_back();
    }
    void null() override { slot() = nullptr; }
    void boolean(bool v) override { slot() = v; }
    void integer(std::int64_t v) override { slot() = v; }
    void number(double v) override { slot() = v; }
    void string(std::string& v) override { slot() = v; }
    void beginObject() override { enter(Json::Value::object()); }
    void key(std::string& k) override { keys.back() = k; }
    void endObject() override { leave(); }
    void beginArray() override { enter(Json::Value::array()); }
    void endArray() override { leave(); }
};

// Integers within the signed 64-bit range come as integers, everything else as doubles.
bool same(const Json::Value& ours, const Json::Value& theirs)
{
    if (theirs.is_number_unsigned()) {
        const auto u = theirs.get<std::uint64_t>();
        if (u <= std::uint64_t(INT64_MAX))
            return ours.is_number_integer() && !ours.is_number_unsigned() &&
                   ours.get<std::int64_t>() == std::int64_t(u);
        return ours.is_number_float() && ours.get<double>() == double(u);
    }
    if (theirs.is_number_integer())
        return ours.is_number_integer() && !ours.is_number_unsigned() &&
               ours.get<std::int64_t>() == theirs.get<std::int64_t>();
    if (theirs.is_number_float()) return ours.is_number_float() && ours.get<double>() == theirs.get<double>();
    if (ours.type() != theirs.type()) return false;
    if (theirs.is_array()) {
        if (ours.size() != theirs.size()) return false;
        for (std::size_t i = 0; i < theirs.size(); ++i)
            if (!same(ours[i], theirs[i])) return false;
        return true;
    }
    if (theirs.is_object()) {
        if (ours.size() != theirs.size()) return false;
        for (auto it = theirs.begin(); it != theirs.end(); ++it)
            if (!ours.contains(it.key()) || !same(ours[it.key()], it.value())) return false;
        return true;
    }
    return ours == theirs;
}

void compareReaders(std::string_view text)
{
    Builder built;
    bool oursAccepts = true, theirsAccepts = true;
    // The document parser takes a NUL byte for the end of the text (accepting what comes after a
    // complete document); the event reader refuses it: the two are compared on the text before it.
    try {
        Json::parseEvents(text.substr(0, text.find('\0')), built);
    } catch (const Json::Error&) {
        oursAccepts = false;
    }
    Json::Value document;
    try {
        document = Json::parse(text);
    } catch (const Json::Error&) {
        theirsAccepts = false;
    }
    require(oursAccepts == theirsAccepts, "the event reader and the document parser accept the same texts");
    if (oursAccepts) require(same(built.root, document), "the event reader reports the document the parser reads");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    compareReaders(bytes);
    try {
        const Take take = Take::decode(bytes);
        check(take);
    } catch (const Json::Error&) {
        // refused with a reason: what the reader is for
    }
    return 0;
}
