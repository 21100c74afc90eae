// Recordings, takes, melody capture, movie and locked-tone exports of the sound bridge.
#include "VeltraneApp/SoundBridge.h"

namespace veltrane {

void SoundBridge::toggleRecord(InstrumentState&) {}
void SoundBridge::toggleTake(InstrumentState&) {}
void SoundBridge::startTake(InstrumentState&) {}
void SoundBridge::toggleMelodyCapture(InstrumentState&) {}
void SoundBridge::runCapture(InstrumentState&) {}
void SoundBridge::exportMovie(InstrumentState&) {}
void SoundBridge::cancelMovie() { movieCancel_->set(true); }
void SoundBridge::exportLockedTone(InstrumentState&, ToneExportFormat) {}

} // namespace veltrane
