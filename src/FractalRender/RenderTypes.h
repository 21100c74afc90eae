#pragma once
// The values through which the rest of the program talks to the fractal renderer.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "FractalCore/BigComplex.h"
#include "FractalCore/Complex.h"
#include "FractalCore/FractalType.h"
#include "FractalCore/Palette.h"
#include "Support/EnumText.h"

namespace veltrane {

// Asks for a pinned reference orbit (camera flights aim it at their destination).
struct ReferenceHint {
    BigComplex centre;
    std::int64_t maxIterations = 0;

    friend bool operator==(const ReferenceHint&, const ReferenceHint&) = default;
};

// Everything needed to draw one view.
struct RenderView {
    FractalType type = FractalType::mandelbrot;
    double centerX = 0;
    double centerY = 0;
    double zoom = 1;     // the shorter side of the target spans 2.5 / zoom plane units
    double rotation = 0; // handed to the shader unchanged
    std::int64_t maxIterations = 0;
    Complex juliaC;
    Palette palette = Palette::obsidian;
    double colourShift = 0; // only its fractional part reaches the GPU
    std::optional<BigComplex> deepCentre;
    std::optional<ReferenceHint> referenceHint; // set after construction, never part of the geometry

    RenderView() = default;
    RenderView(FractalType type, double centerX, double centerY, double zoom, double rotation,
               std::int64_t maxIterations, Complex juliaC, Palette palette, double colourShift = 0,
               std::optional<BigComplex> deepCentre = std::nullopt)
        : type(type), centerX(centerX), centerY(centerY), zoom(zoom), rotation(rotation), maxIterations(maxIterations),
          juliaC(juliaC), palette(palette), colourShift(colourShift), deepCentre(std::move(deepCentre))
    {}

    // The exact centre at the precision the zoom needs (64 guard bits): deepCentre widened when it is
    // coarser (never narrowed), or the double centre converted.
    BigComplex exactCentre() const;
    // Why the renderer refuses to draw this view, or nothing: a centre, rotation, Julia constant or
    // colour shift that is not finite, a zoom that is not a finite number above 0, or fewer than one
    // iteration.
    std::optional<std::string> fault() const;

    friend bool operator==(const RenderView&, const RenderView&) = default;
};

// The audio-reactive inputs of a frame.
struct AudioVisuals {
    double amplitude = 0;
    double dominantFrequency = 0; // Hz
    double transientPulse = 0;
    double bass = 0;
    double mid = 0;
    double treble = 0;
    Complex juliaCOffset;

    friend bool operator==(const AudioVisuals&, const AudioVisuals&) = default;
};

struct PostSettings {
    double bloom = 0.7;
    double grain = 0.5;
    double vignette = 0.42;
    double headroom = 1.0;
    bool supersample = true;
    bool autoQuality = true;

    friend bool operator==(const PostSettings&, const PostSettings&) = default;
};

struct RenderStats {
    enum class Tier { motion, refining, full, supersampled };

    double fps = 60.0;
    double gpuMs = 0;
    double renderScale = 1.0;
    Tier tier = Tier::motion;
    bool deep = false;
    double refineProgress = 1.0;
    std::int64_t samples = 0;
    std::int64_t referenceLength = 0;
    std::int64_t referenceMs = 0;
    bool referenceStale = false;
};

template <>
struct EnumTexts<RenderStats::Tier> {
    static constexpr std::array table{
        std::pair{RenderStats::Tier::motion, std::string_view{"motion"}},
        std::pair{RenderStats::Tier::refining, std::string_view{"refining"}},
        std::pair{RenderStats::Tier::full, std::string_view{"full"}},
        std::pair{RenderStats::Tier::supersampled, std::string_view{"supersampled"}},
    };
};

// Thrown by construction, stills, diagnostics and PNG writing; what() is the text shown.
class RendererError : public std::runtime_error {
public:
    enum class Kind { shaderSource, library, pipeline, noDevice, view };

    static RendererError shaderSource(const std::string& name)
    {
        return RendererError(Kind::shaderSource, name, "Shader source missing: " + name);
    }
    static RendererError library(const std::string& payload)
    {
        return RendererError(Kind::library, payload, "Shader compile failed: " + payload);
    }
    static RendererError pipeline(const std::string& payload)
    {
        return RendererError(Kind::pipeline, payload, "Pipeline failed: " + payload);
    }
    static RendererError noDevice() { return RendererError(Kind::noDevice, "", "No Vulkan device"); }
    // A texture the device does not give: the payload names it, its size and the device's reason.
    static RendererError texture(const std::string& payload)
    {
        return RendererError(Kind::noDevice, payload, "The GPU cannot make a texture: " + payload);
    }
    // A view the renderer refuses (RenderView::fault).
    static RendererError view(const std::string& payload)
    {
        return RendererError(Kind::view, payload, "View cannot be drawn: " + payload);
    }

    Kind kind;
    std::string payload;

private:
    RendererError(Kind kind, std::string payload, const std::string& text)
        : std::runtime_error(text), kind(kind), payload(std::move(payload))
    {}
};

// The fatal log line of a renderer that cannot start.
inline std::string rendererStartFailure(const std::exception& error)
{
    return std::string("Vulkan renderer failed to start: ") + error.what();
}

} // namespace veltrane
