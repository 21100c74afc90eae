// libFuzzer target: any bytes through the MIDI message decoders: as a MIDI 1.0 byte stream, as UMP
// words and as an event list. Besides crashes and sanitizer reports, it stops on an event the
// decoders promise never to make, or on an event that does not survive its own encoding.
#include "Require.h"
#include "MIDIIO/MIDIEvent.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace veltrane;
using veltrane::fuzz::require;

namespace {

void check(const std::vector<MIDIEvent>& events)
{
    for (const MIDIEvent& e : events) {
        require(e.data1 <= 127 && e.data2 <= 127, "data bytes of 7 bits");
        require(e.channelByte <= 15, "channel 0...15");
        require(e.kind != MIDIEvent::Kind::noteOn || e.velocity() != 0, "no note-on of velocity 0");
        require(e.isChannelMessage() || (e.data1 == 0 && e.data2 == 0 && e.channelByte == 0), "empty system events");
        const std::uint32_t word = e.umpWord();
        const auto back = e.isChannelMessage() ? MIDIEvent::fromMIDI1UMP(word) : MIDIEvent::fromSystemUMP(word);
        require(back && *back == e, "an event survives its UMP word");
        std::uint8_t bytes[3];
        const std::size_t n = e.bytes(bytes);
        const auto again = UMP::events(bytes, n);
        require(again.size() == 1 && again[0] == e, "an event survives its bytes");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto fromBytes = UMP::events(data, size);
    require(fromBytes.size() <= size, "at most one event per byte");
    check(fromBytes);

    std::vector<std::uint32_t> words(size / 4);
    if (!words.empty()) std::memcpy(words.data(), data, words.size() * 4);
    const auto fromWords = UMP::events(words);
    require(fromWords.size() <= words.size(), "at most one event per word");
    check(fromWords);

    check(UMP::events(std::span<const std::uint8_t>(data, size)));
    return 0;
}
