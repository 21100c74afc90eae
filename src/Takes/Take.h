#pragma once
// A take: a recorded performance, everything needed to play its sound again offline and to redraw
// its picture and HUD. It holds the kernel events the engine sent, the orbit tables installed in
// the orbit voice, the view and the HUD state sampled every display frame. Every time inside a
// take is an audio frame counted from the start of the take.
//
// The take file is one compact JSON object with sorted keys (UTF-8), HUD states as standard Base64
// of their JSON. Reading is strict about what it needs and what would make a take unplayable, and
// ignores keys it does not know; frames need not be sorted and `length` need not cover them.
#include "CSynth/kernel.h"
#include "FractalCore/BigComplex.h"
#include "FractalCore/Complex.h"
#include "FractalCore/FractalType.h"
#include "FractalCore/Palette.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

struct Take {
    // A kernel event, field for field and width for width, with its frame relative to the take.
    struct Event {
        std::int64_t frame = 0;
        std::int32_t type = 0;
        std::int32_t param = 0;
        std::int32_t id = 0;
        float value = 0;
        float value2 = 0;
        float value3 = 0;

        Event() = default;
        Event(std::int64_t frame, std::int32_t type, std::int32_t param, std::int32_t id, float value, float value2,
              float value3)
            : frame(frame), type(type), param(param), id(id), value(value), value2(value2), value3(value3)
        {}
        // The event at its frame minus `offset`, an event before the offset at 0.
        Event(const vk_event& event, std::int64_t offset);
        // Frame unchanged: still relative to the take, the consumer rebases it.
        vk_event kernelEvent() const;
        friend bool operator==(const Event&, const Event&) = default;
    };

    // One orbit installation: the points (x, y interleaved) and the point count the engine was given.
    struct OrbitSnapshot {
        std::int64_t frame = 0;
        std::vector<double> points;
        std::int64_t length = 0;
        friend bool operator==(const OrbitSnapshot&, const OrbitSnapshot&) = default;
    };

    // One camera and look sample. The centre is kept as the exact decimal text it was written in.
    struct View {
        std::int64_t frame = 0;
        FractalType type = FractalType::mandelbrot;
        std::string x;
        std::string y;
        double zoom = 1;
        double rotation = 0;
        Complex juliaC;
        Palette palette = Palette::obsidian;
        std::int64_t maxIterations = 0;
        double bloom = 0;
        double grain = 0;
        std::optional<double> colour; // absent means 0

        View() = default;
        View(std::int64_t frame, FractalType type, const BigComplex& centre, double zoom, double rotation,
             Complex juliaC, Palette palette, std::int64_t maxIterations, double bloom, double grain, double colour);
        // The centre parsed at the precision of the zoom (64 guard bits); a text that does not parse
        // reads as 0.
        BigComplex centre() const;
        // Equal in everything but the frame (texts exactly, an absent colour as 0).
        bool sameAs(const View& other) const;
        friend bool operator==(const View&, const View&) = default;
    };

    // `state` holds the bytes of one HUD snapshot's JSON; the take never looks inside.
    struct HUDFrame {
        std::int64_t frame = 0;
        std::string state;
        friend bool operator==(const HUDFrame&, const HUDFrame&) = default;
    };

    static constexpr std::string_view fileExtension = "veltranetake";

    // What a take file may hold for its sound to be renderable: the offline kernel's rates, and at
    // most a day of audio (rendering reserves the whole length up front).
    static constexpr double minSampleRate = 8000;
    static constexpr double maxSampleRate = 384000;
    static constexpr double maxSeconds = 24 * 60 * 60;

    std::int64_t version = 1;
    double sampleRate = 48000;
    std::string createdAt;
    std::int64_t length = 0;
    std::vector<Event> events;         // ordered by frame
    std::vector<OrbitSnapshot> orbits; // in the order installed
    std::vector<View> views;           // in time order, no consecutive repeats
    std::vector<HUDFrame> hud;         // in time order, no consecutive repeats

    Take(double sampleRate, std::string createdAt, std::int64_t length, std::vector<Event> events,
         std::vector<OrbitSnapshot> orbits, std::vector<View> views, std::vector<HUDFrame> hud);

    double seconds() const { return static_cast<double>(length) / sampleRate; }

    // The take file. Throws Json::Error for a number that JSON cannot hold (NaN, infinities).
    std::string encoded() const;
    // Throws Json::Error for malformed JSON, a missing key, a value of the wrong JSON type, an
    // unknown fractal type or palette, and for what would make the take unplayable: a sample rate
    // outside minSampleRate ... maxSampleRate, a length below 0 or beyond maxSeconds, an orbit
    // length beyond its point pairs, a non-finite number, a view zoom not above 0.
    static Take decode(std::string_view bytes);

    // The state of the last HUD frame at or before `frame` (the last of equal frames); `hud` is
    // taken to be in ascending frame order.
    std::optional<std::string> hudState(std::int64_t frame) const;

    // The view in force at `frame`: scanning from the second view, the one before the first whose
    // frame lies after `frame`, the last view when none does (so a frame before the first view
    // gets the first). Views need not be sorted. None when there are no views. O(log n) through a
    // table built on the first call and rebuilt when `views` is resized or reallocated; a frame
    // changed in place after that first call is not seen (a copy of the take starts afresh).
    std::optional<std::size_t> heldView(std::int64_t frame) const;

    friend bool operator==(const Take& a, const Take& b)
    {
        return a.version == b.version && a.sampleRate == b.sampleRate && a.createdAt == b.createdAt &&
               a.length == b.length && a.events == b.events && a.orbits == b.orbits && a.views == b.views &&
               a.hud == b.hud;
    }

private:
    Take() = default;
    friend class TakeFileReader;

    // Running maxima of the view frames after the first: the scan stops at the first view whose
    // frame lies after the wanted one, which is where this non-decreasing table first exceeds it.
    struct ViewIndex {
        const View* data = nullptr;
        std::size_t size = 0;
        std::vector<std::int64_t> runningMax;
    };
    // Copies start empty: the index belongs to the list it was built from.
    struct IndexCache {
        IndexCache() = default;
        IndexCache(const IndexCache&) {}
        IndexCache& operator=(const IndexCache&)
        {
            const std::lock_guard<std::mutex> hold(lock);
            index.reset();
            return *this;
        }
        mutable std::mutex lock;
        mutable std::shared_ptr<const ViewIndex> index;
    };
    IndexCache viewIndex_;
};

} // namespace veltrane
