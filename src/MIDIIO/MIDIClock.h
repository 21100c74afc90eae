#pragma once
// MIDI timing clock, 24 pulses per quarter note: `MIDIClockOut` hands out the host times of the
// pulses to send ahead of time; `MIDIClockIn` estimates a tempo from pulses as they arrive.
#include <cstdint>
#include <optional>
#include <vector>

namespace veltrane {

class MIDIClockOut {
public:
    // A tempo that is not a positive finite number is refused: the clock keeps the tempo it had
    // (120 for a clock created with one).
    explicit MIDIClockOut(double bpm);

    double bpm() const noexcept { return bpm_; }
    // False, and nothing changes, for a refused tempo. Applies from the next pulse `pump` computes.
    bool setBpm(double bpm) noexcept;
    // Seconds between pulses: 60 / (bpm x 24).
    double tickSeconds() const noexcept { return 60.0 / (bpm_ * 24.0); }
    bool running() const noexcept { return running_; }

    // The host time of the first pulse, `lead` seconds from now (a negative lead counts as 0).
    std::uint64_t start(double lead);
    void stop() noexcept { running_ = false; }
    // The host times of the pulses before `horizon` seconds from now, none skipped (after a stall the
    // late ones come at once). At most `maxPulsesPerPump` per call: the rest follow at the next.
    std::vector<std::uint64_t> pump(double horizon);

    static constexpr std::size_t maxPulsesPerPump = 4096;

private:
    double bpm_ = 120;
    std::uint64_t next_ = 0;
    bool running_ = false;
};

class MIDIClockIn {
public:
    // A pulse's arrival in seconds of any monotonic clock.
    void tick(double at);
    void reset();
    // The tempo estimate from the 7th pulse on, kept while a window gives no estimate in 20...400.
    std::optional<double> bpm() const noexcept { return bpm_; }

    static constexpr std::size_t window = 25;
    static constexpr std::size_t minimumPulses = 7;

private:
    std::vector<double> times_;
    std::optional<double> bpm_;
};

} // namespace veltrane
