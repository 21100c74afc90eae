#pragma once
// A movement engine turns clock ticks into camera targets: per tick either a new target (a step note
// and a place for the view to glide to) or nothing (the tick passes silently). Targets are offsets
// from the conductor's exact anchor centre, in doubles, with absolute zoom and rotation.
//
// MovementEngine is a value holding one of the four engines; copying it copies the engine with its
// random source, so a copied conductor carries on independently and identically.
#include "FractalCore/FractalTarget.h"
#include "FractalCore/FractalType.h"
#include "Movement/ArpeggiatorEngine.h"
#include "Movement/EuclideanEngine.h"
#include "Movement/LSystemEngine.h"
#include "Movement/MarkovEngine.h"

#include <concepts>
#include <cstdint>
#include <optional>
#include <variant>

namespace veltrane {

// What every engine offers. `update` advances by `ticks` (the conductor passes 1) with `current` the
// target last planned; `reset` starts over from `origin`; `reanchor` moves the origin and keeps as
// much progress as the engine's kind says. Engines that keep the anchor's absolute position also offer
// `setFrameOrigin`; for the others it does nothing.
template <class E>
concept MovementEngineKind = std::copyable<E> && requires(E engine, const FractalTarget& target)
{
    {
        engine.update(std::int64_t{1}, target)
        } -> std::same_as<std::optional<FractalTarget>>;
    engine.reset(target);
    engine.reanchor(target);
};

class MovementEngine {
public:
    using Kinds = std::variant<ArpeggiatorEngine, EuclideanEngine, MarkovEngine, LSystemEngine>;

    template <MovementEngineKind E>
    MovementEngine(E engine) : engine_(std::move(engine))
    {}

    std::optional<FractalTarget> update(std::int64_t ticks, const FractalTarget& current)
    {
        return std::visit([&](auto& e) { return e.update(ticks, current); }, engine_);
    }
    void reset(const FractalTarget& origin)
    {
        std::visit([&](auto& e) { e.reset(origin); }, engine_);
    }
    void reanchor(const FractalTarget& target)
    {
        std::visit([&](auto& e) { e.reanchor(target); }, engine_);
    }
    void setFrameOrigin(double x, double y, std::optional<FractalType> type)
    {
        std::visit(
            [&](auto& e) {
                if constexpr (requires { e.setFrameOrigin(x, y, type); }) e.setFrameOrigin(x, y, type);
            },
            engine_);
    }

    // The engine itself, or null when it is of another kind.
    template <MovementEngineKind E>
    const E* as() const noexcept
    {
        return std::get_if<E>(&engine_);
    }

private:
    Kinds engine_;
};

static_assert(MovementEngineKind<ArpeggiatorEngine> && MovementEngineKind<EuclideanEngine> &&
              MovementEngineKind<MarkovEngine> && MovementEngineKind<LSystemEngine>);

} // namespace veltrane
