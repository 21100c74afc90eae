#include "MIDIIO/HostTime.h"
#include "MIDIIO/MIDIClock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace veltrane;

TEST(HostTime, ConversionsAndSaturation)
{
    constexpr auto i64max = std::numeric_limits<std::int64_t>::max();
    constexpr auto i64min = std::numeric_limits<std::int64_t>::min();
    constexpr auto u64max = std::numeric_limits<std::uint64_t>::max();
    constexpr double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(HostTime::seconds(0.5), 500000000);
    EXPECT_EQ(HostTime::seconds(-1.5), -1500000000);
    EXPECT_EQ(HostTime::seconds(1e-10), 0); // truncated
    EXPECT_EQ(HostTime::seconds(1e300), i64max);
    EXPECT_EQ(HostTime::seconds(inf), i64max);
    EXPECT_EQ(HostTime::seconds(-inf), i64min);
    EXPECT_EQ(HostTime::seconds(std::nan("")), 0);
    EXPECT_DOUBLE_EQ(HostTime::toSeconds(250000000), 0.25);
    EXPECT_EQ(HostTime::add(u64max - 5, 10), u64max);
    EXPECT_EQ(HostTime::add(5, -10), 0u);
    EXPECT_EQ(HostTime::add(5, i64min), 0u);
    EXPECT_EQ(HostTime::add(10, -3), 7u);

    const std::uint64_t before = HostTime::now();
    const std::uint64_t t = HostTime::fromNow(-1);
    const std::uint64_t after = HostTime::now();
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    EXPECT_GE(HostTime::fromNow(inf), std::uint64_t(i64max)); // saturated, not wrapped
    const std::uint64_t beforeNaN = HostTime::now();
    const std::uint64_t nanDelay = HostTime::fromNow(std::nan(""));
    EXPECT_GE(nanDelay, beforeNaN);
    EXPECT_LE(nanDelay, HostTime::now());
}

TEST(MIDIClockOut, PulsesAheadOfTime)
{
    MIDIClockOut clock(120);
    EXPECT_DOUBLE_EQ(clock.tickSeconds(), 1.0 / 48);
    EXPECT_TRUE(clock.pump(1).empty()); // not running
    const std::uint64_t first = clock.start(0.05);
    const auto pulses = clock.pump(0.1);
    ASSERT_EQ(pulses.size(), 3u);
    const std::int64_t step = HostTime::seconds(1.0 / 48);
    EXPECT_EQ(pulses[0], first);
    EXPECT_EQ(pulses[1], first + step);
    EXPECT_EQ(pulses[2], first + 2 * step);
    // Nothing new within the same horizon: the next pulse lies past it.
    EXPECT_TRUE(clock.pump(0.1).empty());
    EXPECT_TRUE(clock.pump(-5).empty());
    // A longer horizon adds only the pulses that became due.
    const auto more = clock.pump(0.2);
    ASSERT_FALSE(more.empty());
    EXPECT_EQ(more.front(), first + 3 * step);
    clock.stop();
    EXPECT_FALSE(clock.running());
    EXPECT_TRUE(clock.pump(10).empty());
}

TEST(MIDIClockOut, RefusedTemposAndExtremesNeverHang)
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    MIDIClockOut clock(0);
    EXPECT_EQ(clock.bpm(), 120);
    for (double bad : {0.0, -1.0, inf, -inf, std::nan("")}) {
        EXPECT_FALSE(clock.setBpm(bad));
        EXPECT_EQ(clock.bpm(), 120);
    }
    EXPECT_TRUE(clock.setBpm(90));
    EXPECT_FALSE(clock.setBpm(-90));
    EXPECT_EQ(clock.bpm(), 90);

    // A tempo so high that a pulse is shorter than a host unit still moves on; a pump hands out a
    // bounded number of pulses and the rest follow, none skipped.
    EXPECT_TRUE(clock.setBpm(1e300));
    const std::uint64_t first = clock.start(0);
    const auto a = clock.pump(1);
    ASSERT_EQ(a.size(), MIDIClockOut::maxPulsesPerPump);
    EXPECT_EQ(a[1], first + 1);
    const auto b = clock.pump(1);
    EXPECT_EQ(b.front(), a.back() + 1);

    // A horizon beyond the 64-bit range saturates; a tempo so slow that its pulse interval is beyond
    // it runs into the end of host time and stops there instead of wrapping round.
    EXPECT_TRUE(clock.setBpm(1e-300));
    clock.start(0);
    EXPECT_LE(clock.pump(inf).size(), 2u);
    EXPECT_TRUE(clock.pump(inf).empty());
}

TEST(MIDIClockIn, EstimatesFromTheSeventhPulse)
{
    MIDIClockIn in;
    const double dt = 1.0 / 48;
    for (int i = 0; i < 6; ++i) {
        in.tick(10 + i * dt);
        EXPECT_FALSE(in.bpm()) << i;
    }
    in.tick(10 + 6 * dt);
    ASSERT_TRUE(in.bpm());
    EXPECT_NEAR(*in.bpm(), 120, 1e-9);
    // The window slides over the last 25 pulses: after 25 pulses at 60 bpm only those count.
    double t = 10 + 6 * dt;
    for (int i = 0; i < 25; ++i) in.tick(t += 2 * dt);
    EXPECT_NEAR(*in.bpm(), 60, 1e-9);
    in.reset();
    EXPECT_FALSE(in.bpm());

    // 10 bpm is out of range and never accepted; a later burst at 120 is.
    MIDIClockIn slow;
    const double slowDt = 60.0 / (10 * 24);
    for (int i = 0; i < 30; ++i) slow.tick(i * slowDt);
    EXPECT_FALSE(slow.bpm());
    double u = 30 * slowDt;
    for (int i = 0; i < 25; ++i) slow.tick(u += dt);
    ASSERT_TRUE(slow.bpm());
    EXPECT_NEAR(*slow.bpm(), 120, 1e-9);

    // Equal times give no estimate (no division by zero).
    MIDIClockIn stuck;
    for (int i = 0; i < 25; ++i) stuck.tick(5);
    EXPECT_FALSE(stuck.bpm());
}
