#include "VeltraneApp/InstrumentState.h"

#include "Music/Melodies.h"
#include "Support/EnumTextJson.h"
#include "VeltraneApp/MelodyLibrary.h"

#include <algorithm>
#include <random>

namespace veltrane {

namespace {

std::uint32_t systemSeed()
{
    std::random_device device;
    return static_cast<std::uint32_t>(device());
}

} // namespace

InstrumentState::InstrumentState(MelodyLibrary& library, const Clock& clock)
    : melodyID(Melodies::all().front().id()), library(library), flightSeed(systemSeed()), clock_(clock)
{}

void InstrumentState::setPalette(Palette value)
{
    palette_.set(value);
    colourShift.set(0.0);
}

void InstrumentState::setWaveform(Waveform value)
{
    waveform_.set(value);
    waveformChosen.set(true);
}

void InstrumentState::setKeyboardOctaveOffset(std::int64_t value)
{
    keyboardOctaveOffset_.set(value);
    const std::int64_t clamped = std::clamp(keyboardOctaveOffset_.get(), minOctaveOffset, maxOctaveOffset);
    keyboardOctaveOffset_.set(clamped);
}

void to_json(Json::Value& json, InstrumentState::Tab value) { enumToJson(json, value); }
void from_json(const Json::Value& json, InstrumentState::Tab& value) { enumFromJson(json, value, "HUD tab"); }

} // namespace veltrane
