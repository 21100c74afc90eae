#pragma once
// The one MIDI message type of the program and its wire forms: MIDI 1.0 status bytes, Universal
// MIDI Packet words (message type 2, MIDI 1.0 channel voice; message type 1, system real-time; group
// 0 when written, ignored when read) and event lists of timed UMP packets.
//
// Decoding never fails: whatever does not form a supported message is left out, and a truncated or
// malformed message never swallows the complete ones around it. Decoders mask data bytes to 7 bits
// and never make a note-on of velocity 0 (that is a note-off); the encoder masks every field again,
// so events built elsewhere with any byte values still give valid words.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace veltrane {

struct MIDIEvent {
    // In this order. `continue_`: `continue` is a C++ keyword.
    enum class Kind : std::uint8_t { noteOn, noteOff, controlChange, clock, start, continue_, stop };

    Kind kind = Kind::clock;
    std::uint8_t data1 = 0;       // note or controller
    std::uint8_t data2 = 0;       // velocity or controller value
    std::uint8_t channelByte = 0; // 0 for the system events

    static constexpr MIDIEvent noteOn(std::uint8_t note, std::uint8_t velocity, std::uint8_t channel) noexcept
    {
        return {Kind::noteOn, note, velocity, channel};
    }
    static constexpr MIDIEvent noteOff(std::uint8_t note, std::uint8_t velocity, std::uint8_t channel) noexcept
    {
        return {Kind::noteOff, note, velocity, channel};
    }
    static constexpr MIDIEvent controlChange(std::uint8_t controller, std::uint8_t value, std::uint8_t channel) noexcept
    {
        return {Kind::controlChange, controller, value, channel};
    }
    static constexpr MIDIEvent clock() noexcept { return {Kind::clock}; }
    static constexpr MIDIEvent start() noexcept { return {Kind::start}; }
    static constexpr MIDIEvent continue_() noexcept { return {Kind::continue_}; }
    static constexpr MIDIEvent stop() noexcept { return {Kind::stop}; }

    // A channel message from its three bytes; nothing for anything but note off, note on and control
    // change (there is no running status here: a message without its status byte is no event).
    static std::optional<MIDIEvent> make(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) noexcept;
    // From one MIDI 1.0 channel voice word (message type 2, any group).
    static std::optional<MIDIEvent> fromMIDI1UMP(std::uint32_t word) noexcept;
    // From one system real-time word (message type 1, any group): clock, start, continue, stop.
    static std::optional<MIDIEvent> fromSystemUMP(std::uint32_t word) noexcept;

    std::uint32_t umpWord() const noexcept;
    // The MIDI 1.0 bytes of the event (1 or 3 of them), fields masked as in umpWord.
    std::size_t bytes(std::uint8_t out[3]) const noexcept;

    std::uint8_t channel() const noexcept { return isChannelMessage() ? channelByte : 0; }
    bool isChannelMessage() const noexcept { return kind <= Kind::controlChange; }
    std::uint8_t note() const noexcept { return data1; }
    std::uint8_t velocity() const noexcept { return data2; }
    std::uint8_t controller() const noexcept { return data1; }
    std::uint8_t value() const noexcept { return data2; }

    friend constexpr bool operator==(const MIDIEvent&, const MIDIEvent&) = default;
};

// The status byte of each kind: the one table the encoders and decoders read (a channel kind's
// entry is its status with channel 0).
inline constexpr std::array<std::pair<MIDIEvent::Kind, std::uint8_t>, 7> midiStatusTable{{
    {MIDIEvent::Kind::noteOn, 0x90},
    {MIDIEvent::Kind::noteOff, 0x80},
    {MIDIEvent::Kind::controlChange, 0xB0},
    {MIDIEvent::Kind::clock, 0xF8},
    {MIDIEvent::Kind::start, 0xFA},
    {MIDIEvent::Kind::continue_, 0xFB},
    {MIDIEvent::Kind::stop, 0xFC},
}};

// A list of timed UMP packets in one caller-owned buffer, laid out as the platform MIDI services lay
// theirs out: a header (protocol, packet count; 32-bit each), then packed packets of a 64-bit time
// stamp, a 32-bit word count and that many words (at most 64). Consecutive words with the same time
// stamp share a packet. Reading is bounded by the buffer's size whatever the header claims.
class MIDIEventListWriter {
public:
    static constexpr std::size_t headerBytes = 8;
    static constexpr std::size_t packetHeaderBytes = 12;
    static constexpr std::uint32_t maxWordsPerPacket = 64;
    static constexpr std::uint32_t protocolMIDI1 = 1;

    MIDIEventListWriter(std::uint8_t* buffer, std::size_t capacity) noexcept;
    // Starts an empty list (the buffer's earlier content is forgotten).
    void init() noexcept;
    // Appends one word at a time stamp; false, and nothing written, when it does not fit.
    bool add(std::uint64_t timeStamp, std::uint32_t word) noexcept;
    std::uint32_t packetCount() const noexcept { return packets_; }
    std::span<const std::uint8_t> bytes() const noexcept { return {buffer_, used_}; }

private:
    std::uint8_t* buffer_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    std::size_t current_ = 0; // offset of the last packet, 0 before the first
    std::uint32_t packets_ = 0;
};

namespace UMP {

// Words of a UMP message by its type (only the low nibble counts), as the UMP standard sizes them.
int wordCount(std::uint8_t messageType) noexcept;

// The events of a stream of UMP words, in stream order. Messages longer than one word are skipped
// whole; a message cut short by the end stops the decoding there.
std::vector<MIDIEvent> events(std::span<const std::uint32_t> words);

// The events of every packet of an event list (see MIDIEventListWriter), packet by packet.
std::vector<MIDIEvent> events(std::span<const std::uint8_t> eventList);

// Calls visit(timeStamp, words) for each packet of an event list, without allocating.
template <class Visit>
void forEachPacket(std::span<const std::uint8_t> list, Visit&& visit)
{
    constexpr std::size_t header = MIDIEventListWriter::headerBytes,
                          packetHeader = MIDIEventListWriter::packetHeaderBytes;
    if (list.size() < header) return;
    std::uint32_t packets;
    std::memcpy(&packets, list.data() + 4, 4);
    std::size_t at = header;
    std::array<std::uint32_t, MIDIEventListWriter::maxWordsPerPacket> words; // packed words are unaligned
    for (std::uint32_t p = 0; p < packets; ++p) {
        if (list.size() - at < packetHeader) return;
        std::uint64_t stamp;
        std::uint32_t count;
        std::memcpy(&stamp, list.data() + at, 8);
        std::memcpy(&count, list.data() + at + 8, 4);
        at += packetHeader;
        if (count > words.size() || count > (list.size() - at) / 4) return;
        std::memcpy(words.data(), list.data() + at, count * 4u);
        at += count * 4u;
        visit(stamp, std::span<const std::uint32_t>(words.data(), count));
    }
}

// The events of a buffer of MIDI 1.0 bytes as a port delivers them: channel messages with running
// status, real-time bytes anywhere (also inside a SysEx), SysEx and system common messages skipped
// with their data, data bytes without a status skipped, and a message cut short by a new status
// byte or by the end of the buffer dropped. Each buffer starts without running status.
std::vector<MIDIEvent> events(const std::uint8_t* bytes, std::size_t count);

} // namespace UMP

} // namespace veltrane

template <>
struct std::hash<veltrane::MIDIEvent> {
    std::size_t operator()(const veltrane::MIDIEvent& e) const noexcept
    {
        return std::hash<std::uint32_t>{}(static_cast<std::uint32_t>(e.kind) << 24 | e.data1 << 16 | e.data2 << 8 |
                                          e.channelByte);
    }
};
