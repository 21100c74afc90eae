#include "MIDIIO/MIDIEvent.h"
#include "MIDIIO/MIDIKeyboard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

using namespace veltrane;
using E = MIDIEvent;
using Events = std::vector<MIDIEvent>;

TEST(MIDIEvent, FromStatusBytes)
{
    struct Case {
        std::uint8_t status, d1, d2;
        std::optional<MIDIEvent> expected;
    };
    const Case cases[] = {
        {0x93, 60, 0, E::noteOff(60, 0, 3)}, // velocity 0 is a release
        {0x93, 60, 1, E::noteOn(60, 1, 3)},
        {0x85, 0xBC, 0xFF, E::noteOff(60, 127, 5)}, // data masked to 7 bits
        {0x9F, 0x80, 0x80, E::noteOff(0, 0, 15)},   // masked velocity 0
        {0xB0, 74, 127, E::controlChange(74, 127, 0)},
        {0xE0, 0, 64, std::nullopt},  // pitch bend
        {0xC0, 5, 0, std::nullopt},   // program change
        {0xA0, 60, 10, std::nullopt}, // poly pressure
        {0xF8, 0, 0, std::nullopt},   // real time is not a channel message
        {0x40, 60, 64, std::nullopt}, // no status byte
    };
    for (const Case& c : cases)
        EXPECT_EQ(MIDIEvent::make(c.status, c.d1, c.d2), c.expected) << std::hex << int(c.status);
}

TEST(MIDIEvent, FromAndToUMPWords)
{
    EXPECT_EQ(MIDIEvent::fromMIDI1UMP(0x20923C64), E::noteOn(60, 100, 2));
    EXPECT_EQ(MIDIEvent::fromMIDI1UMP(0x25903C40), E::noteOn(60, 64, 0)); // group ignored
    EXPECT_EQ(MIDIEvent::fromMIDI1UMP(0x10F80000), std::nullopt);
    EXPECT_EQ(MIDIEvent::fromMIDI1UMP(0x20E00040), std::nullopt);
    EXPECT_EQ(MIDIEvent::fromSystemUMP(0x1AF90000), std::nullopt);
    EXPECT_EQ(MIDIEvent::fromSystemUMP(0x13FC0000), E::stop());
    EXPECT_EQ(MIDIEvent::fromSystemUMP(0x10F20000), std::nullopt); // song position: not real time
    EXPECT_EQ(MIDIEvent::fromSystemUMP(0x20F80000), std::nullopt);

    struct Case {
        MIDIEvent event;
        std::uint32_t word;
    };
    const Case words[] = {
        {E::noteOn(60, 100, 2), 0x20923C64},
        {E::controlChange(74, 127, 0), 0x20B04A7F},
        {E::noteOn(200, 200, 17), 0x20914848}, // every field masked
        {E::noteOff(60, 0, 0), 0x20803C00},
        {E::clock(), 0x10F80000},
        {E::start(), 0x10FA0000},
        {E::continue_(), 0x10FB0000},
        {E::stop(), 0x10FC0000},
    };
    for (const Case& c : words) {
        EXPECT_EQ(c.event.umpWord(), c.word) << std::hex << c.word;
        // A valid event survives the round trip through its word.
        if (c.event.note() < 128 && c.event.channelByte < 16) {
            const auto back =
                c.event.isChannelMessage() ? MIDIEvent::fromMIDI1UMP(c.word) : MIDIEvent::fromSystemUMP(c.word);
            EXPECT_EQ(back, c.event);
        }
    }
}

TEST(UMP, WordCountsFollowTheMessageType)
{
    const int expected[16] = {1, 1, 1, 2, 2, 4, 1, 1, 2, 2, 2, 3, 3, 4, 4, 4};
    for (int t = 0; t < 16; ++t) {
        EXPECT_EQ(UMP::wordCount(static_cast<std::uint8_t>(t)), expected[t]);
        EXPECT_EQ(UMP::wordCount(static_cast<std::uint8_t>(0xF0 | t)), expected[t]); // low nibble only
    }
}

TEST(UMP, WordStreams)
{
    struct Case {
        std::vector<std::uint32_t> words;
        Events expected;
    };
    const Case cases[] = {
        // A two-word MIDI 2.0 note on is skipped whole.
        {{0x40903C00, 0x12345678, 0x20903C40}, {E::noteOn(60, 64, 0)}},
        // The last message is cut short: the events before it only.
        {{0x20903C40, 0x40903C00}, {E::noteOn(60, 64, 0)}},
        {{0x20903C40, 0xF0000000, 0, 0}, {E::noteOn(60, 64, 0)}},
        // A message ending exactly at the end is still read.
        {{0x30000000, 0x00000000, 0x10FC0000}, {E::stop()}},
        {{0x00000000, 0x10F80000, 0x10F90000, 0x10FA0000}, {E::clock(), E::start()}},
        {{0x20903C00, 0x60000000, 0x70000000, 0x20B14000}, {E::noteOff(60, 0, 0), E::controlChange(64, 0, 1)}},
        {{}, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(UMP::events(c.words), c.expected);
}

TEST(UMP, ByteStreams)
{
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        Events expected;
    };
    const Case cases[] = {
        {"running status",
         {0x90, 60, 64, 62, 64, 64, 0},
         {E::noteOn(60, 64, 0), E::noteOn(62, 64, 0), E::noteOff(64, 0, 0)}},
        {"real time inside a message",
         {0xB2, 0xF8, 7, 0xFA, 100},
         {E::clock(), E::start(), E::controlChange(7, 100, 2)}},
        {"lone status byte", {0x90}, {}},
        {"status cut short by the next", {0x90, 60, 0x80, 60, 10}, {E::noteOff(60, 10, 0)}},
        {"data without status", {60, 64, 0x91, 61, 1}, {E::noteOn(61, 1, 1)}},
        {"SysEx with real time inside",
         {0xF0, 0x7E, 0x90, 0xF8, 0x01, 0xF7, 0x90, 60, 1},
         {E::clock(), E::noteOn(60, 1, 0)}},
        {"SysEx ended by a status", {0xF0, 1, 2, 3, 0xB0, 1, 2}, {E::controlChange(1, 2, 0)}},
        {"no running status after SysEx", {0x90, 60, 1, 0xF0, 1, 0xF7, 61, 1}, {E::noteOn(60, 1, 0)}},
        {"system common with data", {0xF2, 0x10, 0x20, 0xF3, 5, 0xFC}, {E::stop()}},
        {"program change keeps its running status", {0xC0, 5, 6, 7, 0x80, 1, 2}, {E::noteOff(1, 2, 0)}},
        {"unknown real time", {0xF9, 0xFD, 0xFE, 0xFF, 0xFB}, {E::continue_()}},
    };
    for (const Case& c : cases) EXPECT_EQ(UMP::events(c.bytes.data(), c.bytes.size()), c.expected) << c.what;

    // A long SysEx in the middle disturbs nothing around it.
    std::vector<std::uint8_t> big{0x90, 60, 1, 0xF0};
    big.insert(big.end(), 100000, 0x55);
    big.insert(big.end(), {0xF7, 0x80, 60, 0});
    EXPECT_EQ(UMP::events(big.data(), big.size()), (Events{E::noteOn(60, 1, 0), E::noteOff(60, 0, 0)}));
}

TEST(MIDIEventList, PacketsShareTimeStampsAndStayInTheBuffer)
{
    std::uint8_t buffer[64];
    MIDIEventListWriter list(buffer, sizeof buffer);
    EXPECT_TRUE(list.add(5, E::noteOn(60, 1, 0).umpWord()));
    EXPECT_TRUE(list.add(5, E::clock().umpWord()));
    EXPECT_TRUE(list.add(9, E::stop().umpWord()));
    EXPECT_EQ(list.packetCount(), 2u);
    EXPECT_EQ(list.bytes().size(), 8u + 12 + 8 + 12 + 4);
    // 64 - 44 = 20 bytes left: one more word on the same stamp, then a new packet needs 16.
    EXPECT_TRUE(list.add(9, E::start().umpWord()));
    EXPECT_TRUE(list.add(10, E::start().umpWord()));
    EXPECT_FALSE(list.add(11, E::start().umpWord()));
    EXPECT_EQ(list.bytes().size(), 64u);

    std::vector<std::pair<std::uint64_t, std::size_t>> packets;
    UMP::forEachPacket(list.bytes(), [&](std::uint64_t t, std::span<const std::uint32_t> w) {
        packets.push_back({t, w.size()});
    });
    EXPECT_EQ(packets, (std::vector<std::pair<std::uint64_t, std::size_t>>{{5, 2}, {9, 2}, {10, 1}}));
    EXPECT_EQ(UMP::events(list.bytes()), (Events{E::noteOn(60, 1, 0), E::clock(), E::stop(), E::start(), E::start()}));

    // A header that claims more than the buffer holds is read only as far as the buffer goes.
    std::uint8_t lying[8 + 12 + 4];
    std::memcpy(lying, buffer, sizeof lying);
    lying[4] = 200;
    lying[16] = 50; // first packet claims 50 words
    EXPECT_TRUE(UMP::events(std::span<const std::uint8_t>(lying, sizeof lying)).empty());
}

TEST(MIDIKeyboard, SustainHoldsAndReleases)
{
    using A = MIDIKeyboard::Action;
    using Actions = std::vector<A>;
    const auto pedal = [](std::uint8_t v) { return E::controlChange(64, v, 0); };
    {
        MIDIKeyboard k;
        EXPECT_EQ(k.handle(E::noteOn(60, 127, 0)), (Actions{A::noteOn(60, 1.0)}));
        EXPECT_EQ(k.handle(pedal(127)), Actions{});
        EXPECT_EQ(k.handle(E::noteOff(60, 0, 0)), Actions{});
        EXPECT_EQ(k.activeNotes(), (std::set<std::uint8_t>{60}));
        EXPECT_EQ(k.handle(pedal(0)), (Actions{A::noteOff(60)}));
        EXPECT_EQ(k, MIDIKeyboard{});
    }
    { // A note released under the pedal that was never held is released by the next pedal-up.
        MIDIKeyboard k;
        k.handle(pedal(64)); // 64 is down
        EXPECT_TRUE(k.sustainOn);
        EXPECT_EQ(k.handle(E::noteOff(62, 0, 3)), Actions{});
        EXPECT_EQ(k.handle(pedal(63)), (Actions{A::noteOff(62)})); // 63 is up
    }
    { // Pressed again under the pedal: the pedal-up leaves it sounding; its own note-off ends it.
        MIDIKeyboard k;
        k.handle(pedal(100));
        k.handle(E::noteOn(60, 64, 0));
        k.handle(E::noteOff(60, 0, 0));
        EXPECT_EQ(k.handle(E::noteOn(60, 64, 0)).size(), 1u);
        EXPECT_EQ(k.handle(pedal(0)), Actions{});
        EXPECT_EQ(k.handle(E::noteOff(60, 0, 0)), (Actions{A::noteOff(60)}));
    }
    { // Other events change nothing.
        MIDIKeyboard k;
        for (const auto& e : {E::clock(), E::start(), E::controlChange(1, 127, 0)}) EXPECT_EQ(k.handle(e), Actions{});
        EXPECT_EQ(k, MIDIKeyboard{});
    }
    {
        MIDIKeyboard k;
        k.held = {64, 60};
        k.sustained = {62};
        k.sustainOn = true;
        EXPECT_EQ(k.releaseAll(), (Actions{A::noteOff(60), A::noteOff(62), A::noteOff(64)}));
        EXPECT_TRUE(k.activeNotes().empty());
        EXPECT_FALSE(k.sustainOn);
    }
}
