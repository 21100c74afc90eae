// Presets from and into the instrument state.
#include "VeltraneApp/InstrumentState.h"

#include "Presets/PresetFile.h"
#include "Support/UUID.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>

namespace veltrane {

namespace {

constexpr double sameFormulaFlightMs = 2600, otherFormulaFlightMs = 2200;

// The time of day in the user's locale ("3:04:05 PM", "15:04:05"); the C locale's form when the
// environment names no usable locale.
std::string timeOfDay()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::ostringstream text;
    try {
        text.imbue(std::locale(""));
    } catch (const std::runtime_error&) {}
    text << std::put_time(&local, "%X");
    return text.str();
}

} // namespace

Preset InstrumentState::makePreset(const std::string& thumbnail) const
{
    Preset preset;
    preset.id = UUID::random();
    preset.name = "Preset " + timeOfDay();
    preset.rotation = rotation.get();
    preset.maxIterations = maxIterations.get();
    preset.fractalType = fractalType.get();
    preset.juliaC = juliaC.get();
    preset.audioParams = audioParams.get();
    preset.colorPalette = palette_.get();
    preset.thumbnail = thumbnail;
    preset.createdAt = PresetFile::internetDateTime(std::chrono::system_clock::now());
    preset.scale = scale.get();
    preset.rootNote = rootNote.get();
    preset.setView(centre.get(), zoom.get());
    return preset;
}

void InstrumentState::load(const Preset& preset)
{
    const FractalType oldType = fractalType.get();
    fractalType.set(preset.fractalType);
    juliaC.set(preset.juliaC.value_or(InstrumentState::defaultJuliaC));
    setPalette(preset.colorPalette);
    audioParams.set(preset.audioParams);
    presetSound.set(preset.audioParams);
    presetSoundName.set(preset.name);
    scale.set(preset.scale.value_or(Scale::off));
    rootNote.set(preset.rootNote.value_or(0));

    const BigComplex exact = preset.exactCentre();
    const double z = validZoom(preset.effectiveZoom());
    const double r = preset.rotation;
    if (oldType == preset.fractalType) {
        fly(exact, z, r, sameFormulaFlightMs);
    } else {
        setView(exact, 1, r, true);
        fly(exact, z, r, otherFormulaFlightMs);
    }
    movementPaused.set(false);
    activePresetId.set(preset.id);
    presetMenuOpen.set(false);
}

} // namespace veltrane
