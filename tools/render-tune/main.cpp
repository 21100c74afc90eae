// Renders a built-in tune (text tune or classic, by id) through the offline synthesis kernel into a
// 16-bit stereo WAV file, and lists the note-ons it played, so a tune can be heard and its notes
// checked against a spectrogram.
//
//   render-tune <id> <out.wav> [--dry] [--no-bass] [--seconds S]
//
// --dry takes out the reverb, delay, chorus, sub oscillator and glide, leaving plain notes.
// --seconds cuts the render after that many seconds (at most ten minutes). The file is written whole
// or not at all; a file that cannot be written is reported with its path and the reason, exit 1.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "../common/ArgNumbers.h"

#include "Music/Classics.h"
#include "Music/MelodyPlayer.h"
#include "Music/Melodies.h"
#include "Music/Notes.h"
#include "Platform/Files/Files.h"
#include "Synth/KernelParams.h"
#include "Synth/OfflineRenderer.h"
#include "Synth/WAV.h"

using namespace veltrane;

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: render-tune <id> <out.wav> [--dry] [--no-bass] [--seconds S]\n");
        return 2;
    }
    bool dry = false, bass = true;
    double seconds = 0; // 0: the whole tune once, plus its release
    for (int i = 3; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--dry"))
            dry = true;
        else if (!std::strcmp(argv[i], "--no-bass"))
            bass = false;
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
            const auto value = tools::argNumber(argv[++i], 0, 600);
            if (!value || *value == 0) {
                std::fprintf(stderr, "render-tune: --seconds must be a number above 0 and at most 600, not \"%s\"\n",
                             argv[i]);
                return 2;
            }
            seconds = *value;
        } else {
            std::fprintf(stderr, "render-tune: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    std::optional<Melody> melody = Melodies::melody(argv[1]);
    if (!melody) {
        // A classic whose file is missing or damaged is left out of the list without a word: said here.
        const auto& classics = Classics::entries();
        const auto entry =
            std::find_if(classics.begin(), classics.end(), [&](const Classics::Entry& e) { return e.id == argv[1]; });
        if (entry == classics.end()) {
            std::fprintf(stderr, "render-tune: no built-in tune \"%s\"\n", argv[1]);
            return 1;
        }
        try {
            melody = Classics::loadOne(*entry);
        } catch (const std::runtime_error& e) {
            std::fprintf(stderr, "render-tune: the built-in tune \"%s\" cannot be loaded: %s\n", argv[1], e.what());
            return 1;
        }
    }

    constexpr double rate = 48000;
    constexpr int block = 256;
    constexpr int64_t lead = 4800; // the first note starts 0.1 s in
    OfflineRenderer renderer(rate);
    AudioParams params = AudioParams::defaults();
    if (dry) {
        params.reverbWet = params.delayWet = params.chorusAmount = params.subLevel = params.glide = 0;
        params.filterCutoff = 8000;
    }
    renderer.apply(params, Waveform::triangle, Waveform::triangle, 0);

    MelodyPlayer player(*melody, melody->tonic(), std::nullopt, false, bass, renderer.frame() + lead, rate);
    const int64_t end = seconds > 0 ? renderer.frame() + int64_t(seconds * rate) : INT64_MAX;
    std::vector<float> left, right;
    int64_t tail = int64_t(rate); // one second of release after the last note-off
    while (renderer.frame() < end && tail > 0) {
        if (player.isFinished()) tail -= block;
        for (const auto& e : player.schedule(renderer.frame() + block)) {
            renderer.push(kernelEvent(e));
            if (e.kind == MelodyPlayer::Event::Kind::on)
                std::printf("%9.4f s  %-4s %s\n", double(e.frame) / rate, Notes::noteName(e.note).c_str(),
                            e.part == Melody::Part::bass ? "bass" : "");
        }
        auto [l, r] = renderer.render(block, block);
        left.insert(left.end(), l.begin(), l.end());
        right.insert(right.end(), r.begin(), r.end());
    }
    const auto image = WAV::encode({left, right}, int(rate), 16);
    try {
        Files::replaceAtomically(argv[2], image);
    } catch (const Files::Error& e) {
        std::fprintf(stderr, "render-tune: cannot write %s: %s\n", e.path().c_str(), e.what());
        return 1;
    }
    return 0;
}
