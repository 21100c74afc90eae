#pragma once
// From a view of the fractal to a complete sound.
//
// The horizontal position sets the pitch, the vertical position the harmonic ratio, the depth of the
// zoom the filter, reverb decay and stereo width, the iteration limit the distortion, the rotation
// the LFO rate, and the complexity of the region (one entropy estimate) the wet mixes, delay
// feedback, FM index, chorus, noise and phaser depth. The thirteen other fields are kept from the
// current record: they stay as the user set them.
//
// Pure, allocation-free, any thread. Non-finite inputs are absorbed: a NaN centre coordinate maps to
// the low end of its range, a NaN zoom to the surface, a NaN rotation to the slowest LFO.
#include "FractalCore/FractalType.h"
#include "Music/AudioParams.h"
#include "Music/Scale.h"

#include <optional>

namespace veltrane::Mapping {

// Only the fractional parts matter; the caller advances it as the view pans.
struct ViewPhase {
    double x = 0;
    double y = 0;
};

// x from -2.5 to 1 spans 80 to 880 Hz geometrically (held at the ends), then quantised.
double positionToFrequency(double x, Scale scale, int root) noexcept;

// Depth runs from zoom 1 to zoom 2^43.
AudioParams fractalToAudio(double centerX, double centerY, double zoom, int maxIterations, double rotation,
                           const AudioParams& current, std::optional<FractalType> type, Scale scale, int root) noexcept;

// Depth runs from zoom 1 to `maxZoom`. Beyond zoom 1000 panning also bends pitch and ratio: the bend
// widens until zoom 10^6, where it reaches half an octave of pitch and an octave of ratio either way
// (pitch is quantised afterwards).
AudioParams fractalToAudioDepth(double centerX, double centerY, double zoom, int maxIterations, double rotation,
                                const AudioParams& current, std::optional<FractalType> type, Scale scale, int root,
                                double maxZoom, ViewPhase viewPhase) noexcept;

} // namespace veltrane::Mapping
