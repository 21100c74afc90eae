#include "Takes/Take.h"

#include "Platform/Json/Json.h"

#include <algorithm>

namespace veltrane {

namespace {

constexpr int kGuardBits = 64;

BigFixed parsedOrZero(const std::string& text, int fracLimbs)
{
    if (auto value = BigFixed::fromDecimal(text, fracLimbs)) return *value;
    return BigFixed::zero(fracLimbs);
}

} // namespace

Take::Event::Event(const vk_event& event, std::int64_t offset)
    : frame(std::max(event.frame, offset) - offset), type(event.type), param(event.param), id(event.id),
      value(event.value), value2(event.value2), value3(event.value3)
{}

vk_event Take::Event::kernelEvent() const
{
    return vk_event{
        .frame = frame, .type = type, .param = param, .id = id, .value = value, .value2 = value2, .value3 = value3};
}

Take::View::View(std::int64_t frame, FractalType type, const BigComplex& centre, double zoom, double rotation,
                 Complex juliaC, Palette palette, std::int64_t maxIterations, double bloom, double grain, double colour)
    : frame(frame), type(type), x(centre.x().decimal()), y(centre.y().decimal()), zoom(zoom), rotation(rotation),
      juliaC(juliaC), palette(palette), maxIterations(maxIterations), bloom(bloom), grain(grain), colour(colour)
{}

BigComplex Take::View::centre() const
{
    const int limbs = BigFixed::limbsForZoom(zoom, kGuardBits);
    return BigComplex(parsedOrZero(x, limbs), parsedOrZero(y, limbs));
}

bool Take::View::sameAs(const View& o) const
{
    return type == o.type && x == o.x && y == o.y && zoom == o.zoom && rotation == o.rotation &&
           juliaC.x == o.juliaC.x && juliaC.y == o.juliaC.y && palette == o.palette &&
           maxIterations == o.maxIterations && bloom == o.bloom && grain == o.grain &&
           colour.value_or(0) == o.colour.value_or(0);
}

Take::Take(double sampleRate, std::string createdAt, std::int64_t length, std::vector<Event> events,
           std::vector<OrbitSnapshot> orbits, std::vector<View> views, std::vector<HUDFrame> hud)
    : version(1), sampleRate(sampleRate), createdAt(std::move(createdAt)), length(length), events(std::move(events)),
      orbits(std::move(orbits)), views(std::move(views)), hud(std::move(hud))
{}

std::optional<std::string> Take::hudState(std::int64_t frame) const
{
    std::size_t lo = 0, hi = hud.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (frame < hud[mid].frame)
            hi = mid;
        else
            lo = mid + 1;
    }
    if (lo == 0) return std::nullopt;
    return hud[lo - 1].state;
}

std::optional<std::size_t> Take::heldView(std::int64_t frame) const
{
    if (views.empty()) return std::nullopt;
    std::shared_ptr<const ViewIndex> index;
    {
        const std::lock_guard<std::mutex> hold(viewIndex_.lock);
        index = viewIndex_.index;
        if (!index || index->data != views.data() || index->size != views.size()) {
            auto fresh = std::make_shared<ViewIndex>();
            fresh->data = views.data();
            fresh->size = views.size();
            fresh->runningMax.reserve(views.size() - 1);
            for (std::size_t i = 1; i < views.size(); ++i)
                fresh->runningMax.push_back(i == 1 ? views[i].frame
                                                   : std::max(fresh->runningMax.back(), views[i].frame));
            viewIndex_.index = fresh;
            index = std::move(fresh);
        }
    }
    // runningMax[j] belongs to view j + 1; the first entry above `frame` marks the view that ends
    // the scan, and the held view is the one before it.
    const auto& m = index->runningMax;
    const auto after = std::upper_bound(m.begin(), m.end(), frame);
    if (after == m.end()) return views.size() - 1;
    return static_cast<std::size_t>(after - m.begin());
}

} // namespace veltrane
