#include "MIDIIO/MIDIOutput.h"

#include <algorithm>

namespace veltrane {

namespace {
const char* kindText(MIDIOutput::Failure::Kind kind)
{
    return kind == MIDIOutput::Failure::Kind::clientNotCreated ? "clientNotCreated" : "sourceNotCreated";
}
} // namespace

MIDIOutput::Failure::Failure(Kind kind, std::int32_t status)
    : std::runtime_error(std::string(kindText(kind)) + "(" + std::to_string(status) + ")"), kind(kind), status(status)
{}

MIDIOutput::MIDIOutput(std::string name, MidiBackend backend)
    : name_(std::move(name)), buffer_(std::make_unique<std::array<std::uint8_t, bufferBytes>>()),
      port_(MidiOutputDesc{backend, name_ + " Out", name_})
{}

MIDIOutput::~MIDIOutput() { stop(); }

void MIDIOutput::start()
{
    if (running_) return;
    try {
        running_ = port_.open();
    } catch (const MidiError& e) {
        throw Failure(e.stage == MidiError::Stage::client ? Failure::Kind::clientNotCreated
                                                          : Failure::Kind::sourceNotCreated,
                      e.status);
    }
    turnedOn_.reset();
}

void MIDIOutput::stop()
{
    if (!running_) return;
    // What was sent to leave at once (a last note-off, a clock stop) leaves; later sends are dropped.
    port_.flush(0.2);
    port_.cancelPending();
    std::vector<MIDIEvent> offs;
    for (std::size_t i = 0; i < turnedOn_.size(); ++i)
        if (turnedOn_[i])
            offs.push_back(
                MIDIEvent::noteOff(static_cast<std::uint8_t>(i % 128), 0, static_cast<std::uint8_t>(i / 128)));
    send(offs, 0);
    turnedOn_.reset();
    port_.close();
    running_ = false;
}

void MIDIOutput::send(std::span<const MIDIEvent> events, std::uint64_t hostTime)
{
    if (!running_ || events.empty()) return;
    MIDIEventListWriter list(buffer_->data(), buffer_->size());
    for (const MIDIEvent& e : events) {
        if (e.kind == MIDIEvent::Kind::noteOn) turnedOn_.set((e.channelByte & 0x0F) * 128u + (e.note() & 0x7F));
        const std::uint32_t word = e.umpWord();
        if (!list.add(hostTime, word)) {
            handOver(list);
            list.init();
            list.add(hostTime, word);
        }
    }
    handOver(list);
}

void MIDIOutput::send(const MIDIEvent& event, std::uint64_t hostTime) { send(std::span(&event, 1), hostTime); }

void MIDIOutput::note(std::uint8_t note, std::uint8_t velocity, std::uint8_t channel, std::uint64_t at,
                      std::uint64_t off)
{
    send(MIDIEvent::noteOn(note, std::max<std::uint8_t>(velocity, 1), channel), at);
    send(MIDIEvent::noteOff(note, 0, channel), off);
}

void MIDIOutput::handOver(const MIDIEventListWriter& list)
{
    UMP::forEachPacket(list.bytes(), [this](std::uint64_t stamp, std::span<const std::uint32_t> words) {
        port_.send(words.data(), words.size(), stamp);
    });
}

} // namespace veltrane
