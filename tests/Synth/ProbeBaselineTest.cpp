// The safety net for every change to the kernel's sound: the 63 fixed probe cases are rendered at
// 48 kHz (in parallel, one thread per core) and compared with the committed baseline in
// tests/Synth/probe-baseline/ (their measurements, and a 50 ms excerpt of each render's left
// channel for the residual). The thresholds and why they are what they are: src/Synth/ProbeRun.cpp.
// A failure lists every case that moved, by which measure and how far.
//
// After an intended change to the sound, listen to the cases that moved, then rewrite the baseline
// with one command and commit it with the change:
//     build/tools/probe/veltrane-probe --write-baseline
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "Synth/ProbeRun.h"

using namespace veltrane;

namespace {

const std::filesystem::path baselineFolder = std::filesystem::path(VELTRANE_SOURCE_DIR) / "tests/Synth/probe-baseline";

} // namespace

TEST(ProbeBaseline, FixedCasesMatchTheBaseline)
{
    const probe::Baseline baseline = probe::readBaseline(baselineFolder);
    ASSERT_EQ(baseline.sampleRate, probe::baselineRate);
    const std::vector<probe::Result> results = probe::renderAll(ProbeTest::all(), probe::baselineRate, 0, false);
    const std::vector<probe::Deviation> deviations = probe::compare(baseline, results);
    std::string report;
    for (const probe::Deviation& d : deviations) report += "  " + d.text() + "\n";
    EXPECT_TRUE(deviations.empty()) << deviations.size() << " probe case(s) moved from the baseline:\n"
                                    << report
                                    << "If the change is intended: build/tools/probe/veltrane-probe "
                                       "--write-baseline";
}

// The comparison itself: a case that moved is named with its measure; the others are not.
TEST(ProbeBaseline, ComparisonNamesTheCaseThatMoved)
{
    ProbeTest quiet = ProbeTest::all()[1]; // v-sine
    quiet.seconds = 1;
    const std::vector<probe::Result> results = probe::renderAll({quiet}, 48000, 1, false);
    const probe::Baseline baseline = probe::makeBaseline(results, 48000);
    EXPECT_TRUE(probe::compare(baseline, results).empty());

    std::vector<probe::Result> moved = results;
    for (double& v : moved[0].metrics.envelopeDB) v -= 2;
    moved[0].metrics.rmsDB -= 2;
    moved[0].metrics.octaveDB[3] += 10;
    for (float& v : moved[0].excerpt) v *= 0.99f; // -40 dB of residual
    std::vector<std::string> measures;
    for (const probe::Deviation& d : probe::compare(baseline, moved)) {
        EXPECT_EQ(d.id, "v-sine");
        measures.push_back(d.measure);
    }
    EXPECT_EQ(measures, (std::vector<std::string>{"band distance", "envelope distance", "level change", "residual"}));

    // A render gone to NaN has NaN measurements; NaN compares false with every threshold.
    std::vector<probe::Result> broken = results;
    broken[0].metrics.rmsDB = NAN;
    broken[0].excerpt[100] = NAN;
    measures.clear();
    for (const probe::Deviation& d : probe::compare(baseline, broken)) measures.push_back(d.measure);
    EXPECT_EQ(measures, (std::vector<std::string>{"level change", "residual"}));

    std::vector<std::string> texts;
    // A baseline that cannot hold a regression: another rate, or an excerpt cut short.
    probe::Baseline cut = baseline;
    cut.sampleRate = 1e308;
    cut.excerpts["v-sine"].resize(cut.excerpts["v-sine"].size() / 2);
    texts.clear();
    for (const probe::Deviation& d : probe::compare(cut, results)) texts.push_back(d.text());
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "baseline: sample rate 1e+308 Hz (the check renders at 48000 Hz)");
    EXPECT_EQ(texts[1].rfind("v-sine: excerpt of ", 0), 0u) << texts[1];
    cut = baseline;
    cut.sampleRate = -1;
    EXPECT_EQ(probe::compare(cut, results).size(), 1u);

    moved[0].id = "v-other";
    texts.clear();
    for (const probe::Deviation& d : probe::compare(baseline, moved)) texts.push_back(d.text());
    EXPECT_EQ(texts, (std::vector<std::string>{"v-sine: in the baseline but not rendered",
                                               "v-other: rendered but not in the baseline"}));
}
