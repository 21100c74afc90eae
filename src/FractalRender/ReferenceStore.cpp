#include "FractalRender/ReferenceStore.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>

#include "FractalCore/BigReference.h"

namespace veltrane {

namespace {

constexpr double kNearbyViewUnits = 500; // a build this close to the pending view is allowed to finish

double distance(const BigComplex& a, const BigComplex& b)
{
    const Complex d = a.difference(b);
    return std::hypot(d.x, d.y);
}

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

ReferenceStore::ReferenceStore(std::shared_ptr<GpuDevice> device) : ReferenceStore(std::move(device), nullptr) {}

ReferenceStore::ReferenceStore(std::shared_ptr<GpuDevice> device, Builder builder)
    : device_(std::move(device)), builder_(std::move(builder))
{}

ReferenceStore::~ReferenceStore()
{
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        pending_.reset();
    }
    queue_.drain();
    pinQueue_.drain();
}

std::shared_ptr<ReferenceOrbit> ReferenceStore::build(const std::shared_ptr<GpuDevice>& device, FractalType type,
                                                      const BigComplex& centre, Complex juliaC, std::int64_t length,
                                                      const Cancelled& cancelled)
{
    if (!device) return nullptr;
    const std::int64_t capacity = std::clamp<std::int64_t>(length, 2, INT_MAX);
    auto orbit = std::make_shared<ReferenceOrbit>();
    try {
        orbit->buffer =
            device->makeBuffer(static_cast<std::size_t>(capacity) * sizeof(ReferencePoint), "reference points");
        orbit->scaledBuffer = device->makeBuffer(static_cast<std::size_t>(capacity) * sizeof(ScaledReferencePoint),
                                                 "reference scaled points");
        orbit->pairBuffer =
            device->makeBuffer(static_cast<std::size_t>(capacity) * 4 * sizeof(float), "reference pairs");
    } catch (const GpuError&) {
        return nullptr;
    }
    auto* points = static_cast<ReferencePoint*>(orbit->buffer->contents());
    auto* scaled = static_cast<ScaledReferencePoint*>(orbit->scaledBuffer->contents());
    auto* pairs = static_cast<float*>(orbit->pairBuffer->contents());
    bool stopped = false;
    const BigReference::Result result = BigReference::computeBig(
        type, centre, juliaC, static_cast<int>(capacity),
        [&] {
            if (cancelled && cancelled()) {
                stopped = true;
                return false;
            }
            return true;
        },
        [&](int n, const BigFixed& x, const BigFixed& y, double dx, double dy) {
            points[n] = makeReferencePoint(dx, dy);
            scaled[n] = makeScaledReferencePoint(type, x, y, centre);
            pairs[4 * n] = points[n].hiX;
            pairs[4 * n + 1] = points[n].hiY;
            if (n > 0) {
                pairs[4 * n - 2] = points[n].hiX;
                pairs[4 * n - 1] = points[n].hiY;
            }
        });
    if (stopped) return nullptr;
    orbit->length = result.length;
    orbit->escaped = result.escaped;
    orbit->type = type;
    orbit->juliaC = juliaC;
    orbit->centre = centre;
    orbit->iterationsRequested = length;
    return orbit;
}

std::shared_ptr<ReferenceOrbit> ReferenceStore::runBuilder(FractalType type, const BigComplex& centre, Complex juliaC,
                                                           std::int64_t length, const Cancelled& cancelled)
{
    if (builder_) return builder_(type, centre, juliaC, length, cancelled);
    return build(device_, type, centre, juliaC, length, cancelled);
}

void ReferenceStore::request(FractalType type, const BigComplex& centre, Complex juliaC, std::int64_t length,
                             double zoom)
{
    Request r{type, centre, juliaC, length, orbitKey(type, centre, juliaC, length), zoom};
    {
        std::lock_guard lock(mutex_);
        if (closing_) return;
        if (latest_ && latest_->key() == r.key) return;
        if (pending_ && pending_->key == r.key) return;
        if (buildingKey_ && *buildingKey_ == r.key) {
            pending_.reset(); // the build under way is the newest wish again
            return;
        }
        pending_ = std::move(r);
        if (running_) return;
        running_ = true;
    }
    queue_.async([this] { drain(); });
}

bool ReferenceStore::shouldCancel(const Request& building)
{
    std::optional<Request> pending;
    {
        std::lock_guard lock(mutex_);
        if (closing_) return true;
        if (syncWaiters_ > 0) return false; // a synchronous caller is waiting for exactly this orbit
        pending = pending_;
    }
    if (!pending) return false;
    if (pending->type != building.type || !(pending->juliaC == building.juliaC)) return true;
    return pending->zoom * distance(building.centre, pending->centre) > kNearbyViewUnits;
}

void ReferenceStore::drain()
{
    for (;;) {
        Request request;
        std::uint64_t sequence;
        {
            std::lock_guard lock(mutex_);
            if (!pending_ || closing_) {
                running_ = false;
                pending_.reset();
                return;
            }
            request = std::move(*pending_);
            pending_.reset();
            buildingKey_ = request.key;
            sequence = ++nextSequence_;
        }
        const std::int64_t start = nowNs();
        std::shared_ptr<ReferenceOrbit> orbit;
        try {
            orbit = runBuilder(request.type, request.centre, request.juliaC, request.length,
                               [this, &request] { return shouldCancel(request); });
        } catch (...) {
            orbit = nullptr; // a failed build is dropped like a failed allocation
        }
        lastBuildMs_.store((nowNs() - start) / 1000000, std::memory_order_release);
        {
            std::lock_guard lock(mutex_);
            if (orbit && sequence > latestSequence_) {
                latest_ = std::move(orbit);
                latestSequence_ = sequence;
                generation_ += 1;
            }
            buildingKey_.reset();
        }
        buildFinished_.notify_all();
    }
}

void ReferenceStore::pin(FractalType type, const BigComplex& centre, Complex juliaC, std::int64_t length)
{
    std::string key = orbitKey(type, centre, juliaC, length);
    {
        std::lock_guard lock(mutex_);
        if (closing_ || (pinKey_ && *pinKey_ == key)) return;
        pinKey_ = key;
    }
    pinQueue_.async([this, type, centre, juliaC, length, key] {
        auto superseded = [this, &key] {
            std::lock_guard lock(mutex_);
            return closing_ || !pinKey_ || *pinKey_ != key;
        };
        std::shared_ptr<ReferenceOrbit> orbit;
        try {
            orbit = runBuilder(type, centre, juliaC, length, superseded);
        } catch (...) {
            orbit = nullptr;
        }
        std::lock_guard lock(mutex_);
        if (!pinKey_ || *pinKey_ != key) return;
        if (orbit)
            pinned_ = std::move(orbit);
        else
            pinKey_.reset(); // failed (not superseded): the next pin of this key tries again
    });
}

std::shared_ptr<ReferenceOrbit> ReferenceStore::buildNow(FractalType type, const BigComplex& centre, Complex juliaC,
                                                         std::int64_t length)
{
    const std::string key = orbitKey(type, centre, juliaC, length);
    std::uint64_t sequence;
    {
        std::unique_lock lock(mutex_);
        if (buildingKey_ && *buildingKey_ == key) {
            syncWaiters_ += 1;
            buildFinished_.wait(lock, [&] { return !buildingKey_ || *buildingKey_ != key; });
            syncWaiters_ -= 1;
            if (latest_ && latest_->key() == key) return latest_;
        }
        sequence = ++nextSequence_;
    }
    std::shared_ptr<ReferenceOrbit> orbit;
    try {
        orbit = runBuilder(type, centre, juliaC, length, nullptr);
    } catch (...) {
        orbit = nullptr;
    }
    if (!orbit) return nullptr;
    std::lock_guard lock(mutex_);
    if (sequence > latestSequence_) {
        latest_ = orbit;
        latestSequence_ = sequence;
        generation_ += 1;
    }
    return orbit;
}

std::shared_ptr<ReferenceOrbit> ReferenceStore::latest() const
{
    std::lock_guard lock(mutex_);
    return latest_;
}

std::shared_ptr<ReferenceOrbit> ReferenceStore::pinned() const
{
    std::lock_guard lock(mutex_);
    return pinned_;
}

std::int64_t ReferenceStore::generation() const
{
    std::lock_guard lock(mutex_);
    return generation_;
}

void ReferenceStore::waitUntilIdle()
{
    queue_.drain();
    pinQueue_.drain();
}

bool ReferenceStore::usable(const ReferenceOrbit* o, FractalType type, Complex juliaC, const BigComplex& centre,
                            std::int64_t length, double zoom)
{
    if (!o || o->type != type || !(o->juliaC == juliaC)) return false;
    if (o->centre.fracLimbs() < centre.fracLimbs() - 1) return false;
    if (!o->escaped && o->length < length) return false;
    return distance(o->centre, centre) * zoom < kNearbyViewUnits;
}

ReferenceStore::Choice ReferenceStore::choose(FractalType type, const BigComplex& centre, Complex juliaC,
                                              std::int64_t maxIterations, double zoom, const std::optional<Hint>& hint,
                                              bool wait)
{
    const std::int64_t length = maxIterations + 2;
    const std::string key = orbitKey(type, centre, juliaC, length);
    const auto latest = this->latest();
    const auto pinned = this->pinned();
    auto keyOf = [](const std::shared_ptr<ReferenceOrbit>& o) { return o ? o->key() : std::string(); };

    std::shared_ptr<ReferenceOrbit> chosen;
    bool decided = false;
    if (pinned && keyOf(pinned) == key) {
        chosen = pinned;
        decided = true;
    } else if (!hint || wait) {
        if (latest && keyOf(latest) == key) {
            chosen = latest;
            decided = true;
        } else if (wait) {
            chosen = buildNow(type, centre, juliaC, length);
            decided = true;
        }
    } else {
        const std::int64_t hintLength = hint->maxIterations + 2;
        if (pinned && keyOf(pinned) == orbitKey(type, hint->centre, juliaC, hintLength) &&
            usable(pinned.get(), type, juliaC, centre, length, zoom)) {
            chosen = pinned;
            decided = true;
        } else {
            pin(type, hint->centre, juliaC, hintLength);
            if (latest && keyOf(latest) == key) {
                chosen = latest;
                decided = true;
            }
        }
    }
    if (!decided) {
        if (usable(latest.get(), type, juliaC, centre, length, zoom)) {
            request(type, centre, juliaC, length, zoom);
            chosen = latest;
        } else {
            chosen = buildNow(type, centre, juliaC, length);
        }
    }

    Choice choice;
    choice.orbit = chosen;
    if (chosen) {
        const Complex d = chosen->centre.difference(centre);
        choice.deltaOffset = {static_cast<float>(d.x), static_cast<float>(d.y)};
        choice.deltaOffsetScaled = chosen->centre.scaledDifference(centre);
    }
    choice.stale = !(chosen && keyOf(chosen) == key);
    choice.referenceMs = lastBuildMs();
    return choice;
}

} // namespace veltrane
