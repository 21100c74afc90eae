// The device-rack export: the patched template read back, missing elements, the template resource.
#include "Platform/Resources/Resources.h"
#include "Presets/Export/AbletonExport.h"
#include "Presets/Export/Gzip.h"
#include "Presets/Export/JSMath.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include <unistd.h>

namespace veltrane {
namespace {

namespace fs = std::filesystem;

const fs::path sourceResources = fs::path(VELTRANE_SOURCE_DIR) / "resources";

class AbletonExportTest : public testing::Test {
protected:
    void SetUp() override { Resources::setRoot(sourceResources); }
    void TearDown() override { Resources::setRoot(sourceResources); }

    static pugi::xml_document parse(const std::vector<std::uint8_t>& gz)
    {
        const auto xml = Gzip::decompress(gz);
        pugi::xml_document doc;
        EXPECT_TRUE(doc.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_declaration));
        return doc;
    }

    static std::string manual(const pugi::xml_node& root, const std::vector<const char*>& path)
    {
        pugi::xml_node node = root;
        for (const char* name : path) node = AbletonExport::firstElement(name, node);
        return AbletonExport::firstElement("Manual", node).attribute("Value").value();
    }

    static LockedTone tone()
    {
        AudioParams p = AudioParams::defaults();
        p.filterType = AudioParams::FilterType::bandpass;
        p.filterRolloff = AudioParams::Rolloff::db24;
        p.filterCutoff = 25000;
        p.filterQ = 3;
        p.lfoRate = 0.005;
        p.volume = 0.5;
        p.fmModIndex = 10;
        p.distortionAmount = -2;
        p.bitCrushDepth = 6;
        p.chorusAmount = 0.45;
        p.phaserDepth = 1.5;
        p.phaserRate = 0.7;
        p.stereoWidth = 0.7;
        p.delayTime = 0.0001;
        p.delayFeedback = 0.99;
        p.delayWet = 0.3;
        p.reverbWet = 0.25;
        p.reverbDecay = 0.1;
        LockedTone t = LockedTone::locking(p, "sine");
        t.baseMidiNote = 120;
        return t;
    }
};

TEST_F(AbletonExportTest, RackCarriesAllTwentyThreeValues)
{
    const auto rack = AbletonExport::rack(tone());
    const pugi::xml_document doc = parse(rack);
    const pugi::xml_node root = doc.document_element();
    // Paths as vectors: an initializer_list member would outlive the array it refers to.
    const std::pair<std::vector<const char*>, std::string> expected[] = {
        {{"OriginalSimpler", "SimplerFilter", "Type"}, "2"},
        {{"OriginalSimpler", "SimplerFilter", "LegacyType"}, "2"},
        {{"OriginalSimpler", "SimplerFilter", "Slope"}, "true"},
        {{"OriginalSimpler", "SimplerFilter", "Freq"}, "22000"},
        {{"OriginalSimpler", "SimplerFilter", "Res"}, "0.25"},
        {{"OriginalSimpler", "SimplerLfo", "Frequency"}, "0.01"},
        {{"OriginalSimpler", "VolumeAndPan", "Volume"}, JSMath::string(20 * JSMath::log10(0.5))},
        {{"OriginalSimpler", "Pitch", "TransposeKey"}, "48"},
        {{"OriginalSimpler", "SimplerFilter", "ModByLfo"}, "24"},
        {{"Saturator", "PreDrive"}, "-36"},
        {{"Redux", "BitDepthOn"}, "true"},
        {{"Redux", "BitDepth"}, "6"},
        {{"Chorus", "DryWet"}, "0.45"},
        {{"Phaser", "LfoAmount"}, "1"},
        {{"Phaser", "DryWet"}, "1"},
        {{"Phaser", "Lfo", "Frequency"}, "0.7"},
        {{"StereoGain", "StereoWidth"}, "1.4"},
        {{"Delay", "DelayLine_TimeL"}, "0.001"},
        {{"Delay", "DelayLine_TimeR"}, "0.001"},
        {{"Delay", "Feedback"}, "0.95"},
        {{"Delay", "DryWet"}, "0.3"},
        {{"Reverb", "MixDirect"}, "0.75"},
        {{"Reverb", "DecayTime"}, "200"},
        {{"Delay", "DelayLine_SyncL"}, "false"},
        {{"Delay", "DelayLine_SyncR"}, "false"},
    };
    for (const auto& [path, text] : expected) EXPECT_EQ(manual(root, path), text) << *std::prev(path.end());
    EXPECT_EQ(JSMath::string(20 * JSMath::log10(0.5)), "-6.020599913279624");
    EXPECT_TRUE(doc.first_child().attribute("version"));
    EXPECT_FALSE(doc.first_child().attribute("standalone"));
    EXPECT_EQ(AbletonExport::filename(tone()), "veltrane-C9.adg");
}

TEST_F(AbletonExportTest, TransformEdges)
{
    const auto& map = AbletonExport::map();
    ASSERT_EQ(map.size(), 23u);
    const auto value = [&](const char* key, double x) { return AbletonExport::text(map.at(key).transform(x)); };
    EXPECT_EQ(value("filterRolloff", -12), "false");
    EXPECT_EQ(value("filterRolloff", -48), "true");
    EXPECT_EQ(value("volume", 0), "-36");
    EXPECT_EQ(value("volume", 1), "0");
    EXPECT_EQ(value("baseMidiNote", 60), "0");
    EXPECT_EQ(value("baseMidiNote", 0), "-48");
    EXPECT_EQ(value("reverbDecay", 100), "60000");
    EXPECT_EQ(value("bitCrushOn", 16), "false");
    EXPECT_EQ(value("bitCrushDepth", 40), "16");
    EXPECT_EQ(value("bitCrushDepth", 0), "1");
}

TEST_F(AbletonExportTest, MissingElementsAreSkippedAndValueAttributesUsed)
{
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(R"(<Ableton><OriginalSimpler>
        <SimplerFilter><Freq Value="1"/><Res/></SimplerFilter>
        <VolumeAndPan><Volume><Manual/></Volume></VolumeAndPan></OriginalSimpler>
        <Reverb><DecayTime><Manual Value="1"/></DecayTime></Reverb></Ableton>)"));
    const auto keys = AbletonExport::patch(doc, tone());
    EXPECT_EQ(keys, (std::vector<std::string>{"filterCutoff", "volume", "reverbDecay"}));
    EXPECT_STREQ(AbletonExport::firstElement("Freq", doc).attribute("Value").value(), "22000");
    EXPECT_FALSE(AbletonExport::firstElement("Res", doc).attribute("Value"));
    EXPECT_STREQ(
        AbletonExport::firstElement("Manual", AbletonExport::firstElement("Volume", doc)).attribute("Value").value(),
        JSMath::string(20 * JSMath::log10(0.5)).c_str());
}

TEST_F(AbletonExportTest, TemplateWithoutDelayStillExports)
{
    const fs::path root = fs::path(testing::TempDir()) / ("veltrane-rack-" + std::to_string(::getpid()));
    fs::create_directories(root / "Presets");
    const std::string xml = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Ableton><Chorus><DryWet><Manual Value="0"/></DryWet></Chorus></Ableton>
)";
    const auto gz = Gzip::compress(std::span(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()));
    std::ofstream(root / "Presets" / "veltrane-rackv2.adg", std::ios::binary)
        .write(reinterpret_cast<const char*>(gz.data()), std::streamsize(gz.size()));
    Resources::setRoot(root);
    const pugi::xml_document doc = parse(AbletonExport::rack(tone()));
    EXPECT_EQ(manual(doc.document_element(), {"Chorus", "DryWet"}), "0.45");

    fs::remove(root / "Presets" / "veltrane-rackv2.adg");
    try {
        AbletonExport::rack(tone());
        ADD_FAILURE() << "exported without a template";
    } catch (const AbletonExport::Error& error) {
        EXPECT_EQ(error.kind, AbletonExport::Error::Kind::templateMissing);
    }
    fs::remove_all(root);
}

TEST_F(AbletonExportTest, CommittedTemplateMatchesItsSource)
{
    std::ifstream source(fs::path(VELTRANE_SOURCE_DIR) / "tools/racktemplate/veltrane-rackv2.xml", std::ios::binary);
    const std::vector<std::uint8_t> expected{std::istreambuf_iterator<char>(source), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(Gzip::decompress(AbletonExport::templateData()), expected)
        << "run tools/racktemplate/make-template.py after changing the source";
}

// The system's own tools accept an exported rack: gzip's integrity test and libxml2's parser.
TEST_F(AbletonExportTest, GzipAndXmllintAcceptTheRack)
{
    if (std::system("command -v gzip >/dev/null && command -v xmllint >/dev/null") != 0)
        GTEST_SKIP() << "gzip or xmllint missing (scripts/install-deps installs them)";
    const fs::path file = fs::path(testing::TempDir()) / ("veltrane-" + std::to_string(::getpid()) + ".adg");
    const auto rack = AbletonExport::rack(tone());
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(rack.data()), std::streamsize(rack.size()));
    EXPECT_EQ(std::system(("gzip -t '" + file.string() + "'").c_str()), 0);
    EXPECT_EQ(std::system(("zcat '" + file.string() + "' | xmllint --noout -").c_str()), 0);
    fs::remove(file);
}

} // namespace
} // namespace veltrane
