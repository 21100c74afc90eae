#include "Takes/MelodyFilm.h"

#include "FractalCore/ZoomRules.h"
#include "Music/MelodyPlayer.h"
#include "Music/Notes.h"
#include "Platform/Clock/Clock.h"
#include "Synth/KernelParams.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace veltrane::MelodyFilm {

namespace {

constexpr int kIterationCap = 200000;
constexpr std::int64_t kEveryEvent = (std::int64_t{1} << 61) - 1;

} // namespace

Take take(const Melody& melody, int tonic, double bpm, bool bass, const AudioParams& params, Waveform waveform,
          const Look& look, double leadIn, double tail, double viewRate, double sampleRate,
          const std::function<Pose(double beat)>& pose)
{
    std::vector<Take::Event> events;
    const auto values = KernelParams::values(params, waveform, Waveform::triangle);
    for (int i = 0; i < static_cast<int>(values.size()); ++i)
        if (!std::isnan(values[i])) events.push_back({0, VK_EVENT_PARAM_NO_RAMP, i, 0, values[i], 0, 0});

    const auto start = static_cast<std::int64_t>(leadIn * sampleRate);
    MelodyPlayer player(melody, tonic, bpm, false, bass, start, sampleRate);
    for (const MelodyPlayer::Event& e : player.schedule(kEveryEvent)) {
        const std::int64_t frame = std::max<std::int64_t>(e.frame, 0);
        if (e.kind == MelodyPlayer::Event::Kind::on)
            events.push_back({frame, VK_EVENT_KEY_ON, 0, e.id, static_cast<float>(Notes::midiToFrequency(e.note)), 0,
                              static_cast<float>(e.velocity)});
        else
            events.push_back({frame, VK_EVENT_KEY_OFF, 0, e.id, 0, 0, 0});
    }
    std::stable_sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.frame < b.frame; });

    // The tempo the notes were scheduled at (the player keeps it within its limits); beat 0 at `start`.
    const double tempo = player.bpm();
    const std::int64_t melodyEnd = start + std::llround(sampleRate * melody.length() * 60 / tempo);
    const std::int64_t length = melodyEnd + static_cast<std::int64_t>(tail * sampleRate);

    std::vector<Take::View> views;
    const double step = sampleRate / viewRate;
    // Without a positive step the running sum would never pass the length.
    if (length >= 0 && step > 0 && std::isfinite(step)) {
        double sum = 0;
        for (auto frame = std::int64_t{0}; frame <= length; sum += step, frame = static_cast<std::int64_t>(sum)) {
            const double beat = tempo * ((double(frame) - double(start)) / sampleRate) / 60;
            const Pose p = pose(beat);
            views.emplace_back(frame, look.type, p.centre, p.zoom, p.rotation, look.juliaC, look.palette,
                               ZoomRules::autoIterations(p.zoom, kIterationCap), look.bloom, look.grain, p.colour);
        }
    }
    return Take(sampleRate, internetDateTime(), length, std::move(events), {}, std::move(views), {});
}

} // namespace veltrane::MelodyFilm
