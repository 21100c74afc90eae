#pragma once
// Where deep views get their reference orbits: background builds on the serial queue
// "veltrane.reference" (only the newest request waits; a build that a newer request makes useless is
// abandoned at its next poll), pinned builds for flights on "veltrane.reference.pin" (cancelled only
// by a newer pin), and synchronous builds on the caller's thread for far jumps and stills.
//
// One lock guards the state; it is never held during a build or an allocation. Every build takes a
// sequence number when it starts and publishes into `latest` only if nothing newer was published
// first, so a slow background build can never replace the orbit of a later synchronous one.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "FractalCore/BigComplex.h"
#include "FractalCore/Complex.h"
#include "FractalCore/FractalType.h"
#include "FractalCore/ScaledComplex.h"
#include "FractalRender/ReferenceOrbit.h"
#include "Platform/Gpu/Gpu.h"
#include "Platform/Queues/SerialQueue.h"

namespace veltrane {

class ReferenceStore {
public:
    struct Request {
        FractalType type = FractalType::mandelbrot;
        BigComplex centre;
        Complex juliaC;
        std::int64_t length = 0;
        std::string key;
        double zoom = 0;
    };

    using Cancelled = std::function<bool()>;
    // Builds one orbit or gives nothing (allocation failed, or `cancelled` answered true).
    using Builder = std::function<std::shared_ptr<ReferenceOrbit>(FractalType, const BigComplex&, Complex, std::int64_t,
                                                                  const Cancelled&)>;

    explicit ReferenceStore(std::shared_ptr<GpuDevice> device);
    // Tests replace the builder to watch and pace builds.
    ReferenceStore(std::shared_ptr<GpuDevice> device, Builder builder);
    // Abandons running builds at their next poll and waits for both queues.
    ~ReferenceStore();
    ReferenceStore(const ReferenceStore&) = delete;
    ReferenceStore& operator=(const ReferenceStore&) = delete;

    // The one build routine: buffers for max(length, 2) points, filled while the orbit is iterated.
    static std::shared_ptr<ReferenceOrbit> build(const std::shared_ptr<GpuDevice>& device, FractalType type,
                                                 const BigComplex& centre, Complex juliaC, std::int64_t length,
                                                 const Cancelled& cancelled);

    // Asks for a background build; returns at once. Nothing happens when the key is already the
    // latest, pending or being built.
    void request(FractalType type, const BigComplex& centre, Complex juliaC, std::int64_t length, double zoom);
    // Asks for a pinned build; returns at once. A failed pin build is tried again on the next pin.
    void pin(FractalType type, const BigComplex& centre, Complex juliaC, std::int64_t length);
    // Builds on the caller's thread (or waits for the background build of the same key) and publishes
    // the result as `latest`. Nothing when the buffers cannot be made.
    std::shared_ptr<ReferenceOrbit> buildNow(FractalType type, const BigComplex& centre, Complex juliaC,
                                             std::int64_t length);

    std::shared_ptr<ReferenceOrbit> latest() const;
    std::shared_ptr<ReferenceOrbit> pinned() const;
    std::int64_t lastBuildMs() const { return lastBuildMs_.load(std::memory_order_acquire); }
    std::int64_t generation() const;
    // Blocks until both queues have run everything submitted so far (tests and benchmarks).
    void waitUntilIdle();

    // The orbit a deep view is drawn with, and how it sits relative to the view.
    struct Choice {
        std::shared_ptr<ReferenceOrbit> orbit;
        std::array<float, 2> deltaOffset{0, 0}; // orbit start − view centre
        ScaledComplex deltaOffsetScaled;
        bool stale = false; // not the exact orbit of the view
        std::int64_t referenceMs = 0;
    };
    struct Hint {
        BigComplex centre;
        std::int64_t maxIterations = 0;
    };
    // `centre` is the view's exact centre at the precision its zoom needs. With `wait`, a missing
    // exact orbit is built synchronously; without it, a usable older orbit stands in while the exact
    // one is requested, and only an unusable one forces a synchronous build.
    Choice choose(FractalType type, const BigComplex& centre, Complex juliaC, std::int64_t maxIterations, double zoom,
                  const std::optional<Hint>& hint, bool wait);

    // Whether orbit `o` may stand in for a view at `centre`, zoom and length L.
    static bool usable(const ReferenceOrbit* o, FractalType type, Complex juliaC, const BigComplex& centre,
                       std::int64_t length, double zoom);

private:
    void drain();
    bool shouldCancel(const Request& building);
    std::shared_ptr<ReferenceOrbit> runBuilder(FractalType type, const BigComplex& centre, Complex juliaC,
                                               std::int64_t length, const Cancelled& cancelled);

    std::shared_ptr<GpuDevice> device_;
    Builder builder_;
    std::atomic<std::int64_t> lastBuildMs_{0};

    mutable std::mutex mutex_;
    std::condition_variable buildFinished_;
    std::shared_ptr<ReferenceOrbit> latest_;
    std::uint64_t latestSequence_ = 0; // sequence of the build that produced `latest_`
    std::uint64_t nextSequence_ = 0;
    std::optional<Request> pending_;
    std::optional<std::string> buildingKey_; // the background build under way
    int syncWaiters_ = 0;                    // synchronous callers waiting for that build
    bool running_ = false;
    std::int64_t generation_ = 0;
    std::shared_ptr<ReferenceOrbit> pinned_;
    std::optional<std::string> pinKey_;
    bool closing_ = false;

    // Declared last so they are joined first, while the state above still exists.
    SerialQueue queue_{"veltrane.reference"};
    SerialQueue pinQueue_{"veltrane.reference.pin"};
};

} // namespace veltrane
