#pragma once
// Records a take from the running sound engine while the user plays. It samples no audio: it keeps
// the kernel events and orbit tables the engine sends (through the engine's two observer slots), so
// that the sound can be rendered again offline, and one view and one HUD state per display frame,
// each stamped with the engine's current frame.
//
// Main thread only, like the engine's observers; the audio thread is not involved (the events
// reach the kernel through its own ring, untouched by recording). Recording costs one comparison
// and at most one append per event, view or HUD state.
#include "Synth/SoundEngine.h"
#include "Takes/Take.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltrane {

class TakeRecorder {
public:
    TakeRecorder() = default;
    // Leaves the engine's observer slots empty when a take is still running.
    ~TakeRecorder();
    TakeRecorder(const TakeRecorder&) = delete;
    TakeRecorder& operator=(const TakeRecorder&) = delete;

    bool isRecording() const { return isRecording_; }
    // The engine frame at which the current (or last) take started.
    std::int64_t startFrame() const { return start_; }
    // Seconds recorded so far; 0 when idle.
    double seconds() const;

    // Begins a take on `engine`, which must outlive it (until stop): seeds the sound the engine has
    // (parameters sent, the last orbit, the drone) at frame 0 and takes over the engine's observer
    // slots. Does nothing while a take is in progress.
    void start(SoundEngine& engine);
    // Events with absolute engine frames (notes scheduled before the start); ignored when idle.
    void add(const std::vector<vk_event>& events);
    // Stamped with the current frame; skipped when it repeats the last view or HUD state.
    void addView(Take::View view);
    void addHUD(std::string state);
    // Ends the take: the observer slots are emptied, the events sorted by frame (stably). Nothing
    // when no take was in progress.
    std::optional<Take> stop();

    // What the take holds so far (kept after stop until the next start).
    const std::vector<Take::Event>& events() const { return events_; }
    const std::vector<Take::OrbitSnapshot>& orbits() const { return orbits_; }
    const std::vector<Take::View>& views() const { return views_; }
    const std::vector<Take::HUDFrame>& hud() const { return hud_; }

private:
    std::int64_t now() const;

    bool isRecording_ = false;
    SoundEngine* engine_ = nullptr;
    std::int64_t start_ = 0;
    std::vector<Take::Event> events_;
    std::vector<Take::OrbitSnapshot> orbits_;
    std::vector<Take::View> views_;
    std::vector<Take::HUDFrame> hud_;
    // The observers hold this weakly: once the recorder is gone they do nothing.
    std::shared_ptr<TakeRecorder*> self_ = std::make_shared<TakeRecorder*>(this);
};

} // namespace veltrane
