#pragma once
// The callbacks through which menus, keys and views ask the sound side for an action. Each does
// nothing until the sound bridge installs the whole record once, when it is wired; callers read the
// callback from InstrumentState::actions at the moment of the call and invoke it on the main thread.
#include <cstdint>
#include <functional>

namespace veltrane {

struct SoundActions {
    using Action = std::function<void()>;

    Action togglePlay = [] {};
    Action toggleRecord = [] {};
    Action toggleLock = [] {};
    std::function<void(std::int32_t note, double frequency, double velocity)> keyOn = [](std::int32_t, double, double) {
    };
    std::function<void(std::int32_t note)> keyOff = [](std::int32_t) {};
    Action allKeysOff = [] {};
    Action exportMIDI = [] {};
    Action exportAbleton = [] {};
    Action toggleMic = [] {};
    Action toggleTake = [] {};
    Action exportMovie = [] {};
    Action cancelMovie = [] {};
    Action toggleMelodyCapture = [] {};
};

} // namespace veltrane
