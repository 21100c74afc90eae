#pragma once
// A melody turned into a take for filming, without playing it live: the locked sound's parameters
// as seeds at frame 0, every note of the melody (and its bass) as key events, and a view every
// 1 / viewRate seconds from a camera function of the beat (a melody flight's pose and colour, for
// instance). Rendering the take as a movie films the flight with its sound. Pure: no engine,
// renderer or clock (but the date the take is stamped with).
#include "FractalCore/BigComplex.h"
#include "FractalCore/Complex.h"
#include "FractalCore/FractalType.h"
#include "FractalCore/Palette.h"
#include "Music/AudioParams.h"
#include "Music/Melody.h"
#include "Synth/Waveform.h"
#include "Takes/Take.h"

#include <functional>

namespace veltrane::MelodyFilm {

// The picture settings that stay fixed through the film.
struct Look {
    FractalType type = FractalType::mandelbrot;
    Complex juliaC;
    Palette palette = Palette::obsidian;
    double bloom = 0.7;
    double grain = 0.5;
};

// Where the camera is at a beat.
struct Pose {
    BigComplex centre;
    double zoom = 1;
    double rotation = 0;
    double colour = 0;
};

// `tonic` is the MIDI note of scale degree 0; `leadIn` seconds of silence come before the first
// beat and `tail` seconds after the last; `pose` is called once per view, in order, with beats that
// are negative during the lead-in. A `viewRate` that is not a positive number gives no views.
Take take(const Melody& melody, int tonic, double bpm, bool bass, const AudioParams& params, Waveform waveform,
          const Look& look, double leadIn, double tail, double viewRate, double sampleRate,
          const std::function<Pose(double beat)>& pose);

} // namespace veltrane::MelodyFilm
