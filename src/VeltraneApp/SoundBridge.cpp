#include "VeltraneApp/SoundBridge.h"

#include "FractalRender/FractalRenderer.h"

#include <cstdio>

namespace veltrane {

struct SoundBridge::Alive {
    SoundBridge* bridge;
};

SoundBridge::SoundBridge() : SoundBridge(Setup{}) {}

SoundBridge::SoundBridge(Setup setup)
    : setup_(std::move(setup)),
      main_(setup_.mainQueue ? *setup_.mainQueue : MainQueue::main()),
      clock_(setup_.clock ? *setup_.clock : Clock::steady()),
      alive_(std::make_shared<Alive>(Alive{this})),
      midi_(setup_.midiName, setup_.midiBackend, main_),
      midiOut_(setup_.midiName, setup_.midiBackend),
      engine_(std::make_unique<SoundEngine>(setup_.audio, main_))
{
}

SoundBridge::~SoundBridge()
{
    alive_->bridge = nullptr;
    midi_.onEvent = nullptr;
}

void SoundBridge::log(const std::string& line) const
{
    if (setup_.log)
        setup_.log(line);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

double SoundBridge::mediaNow() const { return clock_.now(); }

void SoundBridge::start()
{
    try {
        engine_->start();
    } catch (const std::exception& e) {
        log(std::string("audio failed to start: ") + e.what());
    }
}

void SoundBridge::wire(InstrumentState& state)
{
    state_ = &state;
}

const AudioVisuals& SoundBridge::frame(InstrumentState& state, double)
{
    return state.audioVisuals.get();
}

void SoundBridge::togglePlay(InstrumentState&) {}
void SoundBridge::toggleLock(InstrumentState&) {}
void SoundBridge::toggleMic(InstrumentState&) {}

} // namespace veltrane
