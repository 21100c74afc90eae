// The melody capture's two-second tail: audio frames while the engine runs, the clock when not.
#include "VeltraneApp/CaptureTail.h"

#include <gtest/gtest.h>

namespace veltrane {
namespace {

TEST(CaptureTail, TwoSecondsOfAudioFramesOrOfTheClockOnASilentEngine)
{
    // At 48000 Hz: 96000 frames after the first frame that found the melody stopped.
    CaptureTail tail;
    EXPECT_FALSE(tail.reached(true, 1000, 48000, 50.0));
    EXPECT_EQ(tail.endFrame, 97000);
    EXPECT_FALSE(tail.reached(true, 96999, 48000, 99.0)); // the clock does not count while it runs
    EXPECT_TRUE(tail.reached(true, 97000, 48000, 50.5));
    tail.clear();
    EXPECT_FALSE(tail.active());
    EXPECT_FALSE(tail.reached(true, 0, 44100.7, 0));
    EXPECT_EQ(tail.endFrame, 88201); // the integer part of rate x 2

    // A silent engine: its frame stands still, the clock ends the tail.
    CaptureTail silent;
    EXPECT_FALSE(silent.reached(false, 500, 48000, 10.0));
    EXPECT_FALSE(silent.reached(false, 500, 48000, 11.99));
    EXPECT_TRUE(silent.reached(false, 500, 48000, 12.0));

    // An engine that stops during the tail hands over to the clock.
    CaptureTail lost;
    EXPECT_FALSE(lost.reached(true, 0, 48000, 10.0));
    EXPECT_FALSE(lost.reached(true, 40000, 48000, 11.0));
    EXPECT_TRUE(lost.reached(false, 40000, 48000, 12.0));
}

} // namespace
} // namespace veltrane
