#include "MIDIIO/MIDIEvent.h"

#include <cstring>

namespace veltrane {

namespace {

constexpr std::uint8_t statusOf(MIDIEvent::Kind kind) noexcept
{
    for (const auto& [k, status] : midiStatusTable)
        if (k == kind) return status;
    return 0;
}

// The kind a status byte names (a channel status by its high nibble), if it is one we carry.
constexpr std::optional<MIDIEvent::Kind> kindOf(std::uint8_t status) noexcept
{
    const std::uint8_t key = status >= 0xF0 ? status : static_cast<std::uint8_t>(status & 0xF0);
    for (const auto& [k, s] : midiStatusTable)
        if (s == key) return k;
    return std::nullopt;
}

constexpr std::array<int, 16> wordCounts{1, 1, 1, 2, 2, 4, 1, 1, 2, 2, 2, 3, 3, 4, 4, 4};

// Data bytes of a channel message in a MIDI 1.0 stream.
constexpr int dataBytesAfter(std::uint8_t status) noexcept
{
    const std::uint8_t high = status & 0xF0;
    return high == 0xC0 || high == 0xD0 ? 1 : 2;
}

template <class T>
T load(const std::uint8_t* p) noexcept
{
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <class T>
void store(std::uint8_t* p, T value) noexcept
{
    std::memcpy(p, &value, sizeof value);
}

} // namespace

std::optional<MIDIEvent> MIDIEvent::make(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) noexcept
{
    if (status < 0x80 || status >= 0xF0) return std::nullopt;
    const auto kind = kindOf(status);
    if (!kind) return std::nullopt;
    const std::uint8_t channel = status & 0x0F, d1 = data1 & 0x7F, d2 = data2 & 0x7F;
    if (*kind == Kind::noteOn && d2 == 0) return noteOff(d1, 0, channel);
    return MIDIEvent{*kind, d1, d2, channel};
}

std::optional<MIDIEvent> MIDIEvent::fromMIDI1UMP(std::uint32_t word) noexcept
{
    if (word >> 28 != 2) return std::nullopt;
    return make(static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 8),
                static_cast<std::uint8_t>(word));
}

std::optional<MIDIEvent> MIDIEvent::fromSystemUMP(std::uint32_t word) noexcept
{
    if (word >> 28 != 1) return std::nullopt;
    const std::uint8_t status = static_cast<std::uint8_t>(word >> 16);
    const auto kind = kindOf(status);
    if (!kind || status < 0xF8) return std::nullopt;
    return MIDIEvent{*kind};
}

std::uint32_t MIDIEvent::umpWord() const noexcept
{
    const std::uint32_t status = statusOf(kind);
    if (!isChannelMessage()) return 0x10000000u | status << 16;
    return 0x20000000u | status << 16 | std::uint32_t(channelByte & 0x0F) << 16 | std::uint32_t(data1 & 0x7F) << 8 |
           std::uint32_t(data2 & 0x7F);
}

std::size_t MIDIEvent::bytes(std::uint8_t out[3]) const noexcept
{
    const std::uint32_t word = umpWord();
    out[0] = static_cast<std::uint8_t>(word >> 16);
    if (!isChannelMessage()) return 1;
    out[1] = static_cast<std::uint8_t>(word >> 8);
    out[2] = static_cast<std::uint8_t>(word);
    return 3;
}

MIDIEventListWriter::MIDIEventListWriter(std::uint8_t* buffer, std::size_t capacity) noexcept
    : buffer_(buffer), capacity_(capacity)
{
    init();
}

void MIDIEventListWriter::init() noexcept
{
    used_ = current_ = 0;
    packets_ = 0;
    if (capacity_ < headerBytes) return;
    store<std::uint32_t>(buffer_, protocolMIDI1);
    store<std::uint32_t>(buffer_ + 4, 0);
    used_ = headerBytes;
}

bool MIDIEventListWriter::add(std::uint64_t timeStamp, std::uint32_t word) noexcept
{
    if (used_ < headerBytes) return false;
    if (packets_ > 0) {
        const std::uint32_t count = load<std::uint32_t>(buffer_ + current_ + 8);
        if (load<std::uint64_t>(buffer_ + current_) == timeStamp && count < maxWordsPerPacket) {
            if (capacity_ - used_ < 4) return false;
            store(buffer_ + used_, word);
            store(buffer_ + current_ + 8, count + 1);
            used_ += 4;
            return true;
        }
    }
    if (capacity_ - used_ < packetHeaderBytes + 4) return false;
    current_ = used_;
    store(buffer_ + used_, timeStamp);
    store<std::uint32_t>(buffer_ + used_ + 8, 1);
    store(buffer_ + used_ + packetHeaderBytes, word);
    used_ += packetHeaderBytes + 4;
    store(buffer_ + 4, ++packets_);
    return true;
}

namespace UMP {

int wordCount(std::uint8_t messageType) noexcept { return wordCounts[messageType & 0x0F]; }

std::vector<MIDIEvent> events(std::span<const std::uint32_t> words)
{
    std::vector<MIDIEvent> out;
    std::size_t i = 0;
    while (i < words.size()) {
        const std::uint32_t word = words[i];
        const std::uint8_t type = static_cast<std::uint8_t>(word >> 28);
        const std::size_t size = static_cast<std::size_t>(wordCount(type));
        if (size > words.size() - i) break;
        i += size;
        if (size != 1) continue;
        std::optional<MIDIEvent> event;
        if (type == 1)
            event = MIDIEvent::fromSystemUMP(word);
        else if (type == 2)
            event = MIDIEvent::fromMIDI1UMP(word);
        if (event) out.push_back(*event);
    }
    return out;
}

std::vector<MIDIEvent> events(std::span<const std::uint8_t> list)
{
    std::vector<MIDIEvent> out;
    forEachPacket(list, [&](std::uint64_t, std::span<const std::uint32_t> words) {
        const auto packet = events(words);
        out.insert(out.end(), packet.begin(), packet.end());
    });
    return out;
}

std::vector<MIDIEvent> events(const std::uint8_t* bytes, std::size_t count)
{
    std::vector<MIDIEvent> out;
    std::uint8_t running = 0; // channel status in force, 0 for none
    bool skipping = false;    // inside a SysEx or a system common message's data
    std::uint8_t data[2] = {};
    int have = 0, need = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte >= 0xF8) { // real time: may sit anywhere, changes nothing around it
            if (const auto kind = kindOf(byte)) out.push_back(MIDIEvent{*kind});
            continue;
        }
        if (byte >= 0x80) { // a status byte ends whatever came before it, complete or not
            have = 0;
            if (byte >= 0xF0) {
                running = 0;
                skipping = true; // SysEx, or system common: its data, up to the next status
                continue;
            }
            running = byte;
            skipping = false;
            need = dataBytesAfter(byte);
            continue;
        }
        if (skipping || running == 0) continue;
        data[have++] = byte;
        if (have < need) continue;
        have = 0;
        if (const auto event = MIDIEvent::make(running, data[0], need > 1 ? data[1] : 0)) out.push_back(*event);
    }
    return out;
}

} // namespace UMP

} // namespace veltrane
