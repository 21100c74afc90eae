#include "Presets/Export/AbletonExport.h"

#include "Platform/Resources/Resources.h"
#include "Presets/Export/Gzip.h"
#include "Presets/Export/JSMath.h"
#include "Presets/Export/MIDIExport.h"
#include "Support/EnumText.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace veltrane::AbletonExport {

namespace {

using JSMath::clamp;

struct Row {
    const char* key;
    double (*source)(const LockedTone&);
    const char* device;
    std::vector<std::string> path;
    Value (*transform)(double);
};

double filterIndex(const LockedTone& t) { return caseIndex(t.params.filterType); }

// The one table: entry order is patch order.
const std::vector<Row>& rows()
{
    static const std::vector<Row> table{
        {"filterType", filterIndex, "OriginalSimpler", {"SimplerFilter", "Type"}, [](double x) -> Value { return x; }},
        {"filterTypeLegacy",
         filterIndex,
         "OriginalSimpler",
         {"SimplerFilter", "LegacyType"},
         [](double x) -> Value { return x; }},
        {"filterRolloff",
         [](const LockedTone& t) { return double(rawValue(t.params.filterRolloff)); },
         "OriginalSimpler",
         {"SimplerFilter", "Slope"},
         [](double x) -> Value { return std::fabs(x) >= 24; }},
        {"filterCutoff",
         [](const LockedTone& t) { return t.params.filterCutoff; },
         "OriginalSimpler",
         {"SimplerFilter", "Freq"},
         [](double x) -> Value { return clamp(x, 30, 22000); }},
        {"filterQ",
         [](const LockedTone& t) { return t.params.filterQ; },
         "OriginalSimpler",
         {"SimplerFilter", "Res"},
         [](double x) -> Value { return clamp(x / 12, 0, 1.25); }},
        {"lfoRate",
         [](const LockedTone& t) { return t.params.lfoRate; },
         "OriginalSimpler",
         {"SimplerLfo", "Frequency"},
         [](double x) -> Value { return clamp(x, 0.01, 30); }},
        {"volume",
         [](const LockedTone& t) { return t.params.volume; },
         "OriginalSimpler",
         {"VolumeAndPan", "Volume"},
         [](double x) -> Value { return x <= 0 ? -36.0 : clamp(20 * JSMath::log10(x), -36, 0); }},
        {"baseMidiNote",
         [](const LockedTone& t) { return double(t.baseMidiNote); },
         "OriginalSimpler",
         {"Pitch", "TransposeKey"},
         [](double x) -> Value { return clamp(x - 60, -48, 48); }},
        {"fmModIndex",
         [](const LockedTone& t) { return t.params.fmModIndex; },
         "OriginalSimpler",
         {"SimplerFilter", "ModByLfo"},
         [](double x) -> Value { return clamp(x * 3, 0, 24); }},
        {"distortionAmount",
         [](const LockedTone& t) { return t.params.distortionAmount; },
         "Saturator",
         {"PreDrive"},
         [](double x) -> Value { return clamp(x * 36, -36, 36); }},
        // 16 bits is the synthesizer's "no reduction": the crusher is on only below it.
        {"bitCrushOn",
         [](const LockedTone& t) { return t.params.bitCrushDepth; },
         "Redux",
         {"BitDepthOn"},
         [](double x) -> Value { return x < 16; }},
        {"bitCrushDepth",
         [](const LockedTone& t) { return t.params.bitCrushDepth; },
         "Redux",
         {"BitDepth"},
         [](double x) -> Value { return clamp(std::isnan(x) ? 16 : x, 1, 16); }},
        {"chorusAmount",
         [](const LockedTone& t) { return t.params.chorusAmount; },
         "Chorus",
         {"DryWet"},
         [](double x) -> Value { return clamp(x, 0, 1); }},
        {"phaserDepth",
         [](const LockedTone& t) { return t.params.phaserDepth; },
         "Phaser",
         {"LfoAmount"},
         [](double x) -> Value { return clamp(x, 0, 1); }},
        {"phaserWet",
         [](const LockedTone& t) { return t.params.phaserDepth; },
         "Phaser",
         {"DryWet"},
         [](double x) -> Value { return clamp(x, 0, 1); }},
        {"phaserRate",
         [](const LockedTone& t) { return t.params.phaserRate; },
         "Phaser",
         {"Lfo", "Frequency"},
         [](double x) -> Value { return clamp(x, 0.01, 20); }},
        {"stereoWidth",
         [](const LockedTone& t) { return t.params.stereoWidth; },
         "StereoGain",
         {"StereoWidth"},
         [](double x) -> Value { return clamp(x + x, 0, 4); }},
        {"delayTime",
         [](const LockedTone& t) { return t.params.delayTime; },
         "Delay",
         {"DelayLine_TimeL"},
         [](double x) -> Value { return clamp(x, 0.001, 5); }},
        {"delayTimeR",
         [](const LockedTone& t) { return t.params.delayTime; },
         "Delay",
         {"DelayLine_TimeR"},
         [](double x) -> Value { return clamp(x, 0.001, 5); }},
        {"delayFeedback",
         [](const LockedTone& t) { return t.params.delayFeedback; },
         "Delay",
         {"Feedback"},
         [](double x) -> Value { return clamp(x, 0, 0.95); }},
        {"delayWet",
         [](const LockedTone& t) { return t.params.delayWet; },
         "Delay",
         {"DryWet"},
         [](double x) -> Value { return clamp(x, 0, 1); }},
        {"reverbWet",
         [](const LockedTone& t) { return t.params.reverbWet; },
         "Reverb",
         {"MixDirect"},
         [](double x) -> Value { return clamp(1 - x, 0, 1); }},
        {"reverbDecay",
         [](const LockedTone& t) { return t.params.reverbDecay; },
         "Reverb",
         {"DecayTime"},
         [](double x) -> Value { return clamp(x * 1000, 200, 60000); }},
    };
    return table;
}

void setValue(pugi::xml_node element, const std::string& value)
{
    pugi::xml_attribute attribute = element.attribute("Value");
    if (!attribute) attribute = element.append_attribute("Value");
    attribute.set_value(value.c_str());
}

struct Writer : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

} // namespace

const std::map<std::string, Mapping>& map()
{
    static const std::map<std::string, Mapping> table = [] {
        std::map<std::string, Mapping> m;
        for (const Row& row : rows()) m.emplace(row.key, Mapping{row.device, row.path, row.transform});
        return m;
    }();
    return table;
}

std::vector<std::pair<std::string, double>> entries(const LockedTone& tone)
{
    std::vector<std::pair<std::string, double>> out;
    out.reserve(rows().size());
    for (const Row& row : rows()) out.emplace_back(row.key, row.source(tone));
    return out;
}

std::string text(const Value& value)
{
    if (const bool* b = std::get_if<bool>(&value)) return *b ? "true" : "false";
    return JSMath::string(std::get<double>(value));
}

pugi::xml_node firstElement(const char* name, const pugi::xml_node& node)
{
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        if (std::strcmp(child.name(), name) == 0) return child;
        if (pugi::xml_node found = firstElement(name, child)) return found;
    }
    return {};
}

std::vector<std::string> patch(pugi::xml_document& document, const LockedTone& tone)
{
    std::vector<std::string> set;
    for (const auto& [key, x] : entries(tone)) {
        const auto row = map().find(key);
        if (row == map().end()) continue;
        const Mapping& mapping = row->second;
        pugi::xml_node target = firstElement(mapping.device.c_str(), document);
        for (const std::string& name : mapping.path) {
            if (!target) break;
            target = firstElement(name.c_str(), target);
        }
        if (!target) continue;
        const std::string value = text(mapping.transform(x));
        if (pugi::xml_node manual = firstElement("Manual", target))
            setValue(manual, value);
        else if (target.attribute("Value"))
            setValue(target, value);
        else
            continue;
        set.push_back(key);
    }
    disableDelaySync(document);
    return set;
}

void disableDelaySync(pugi::xml_document& document)
{
    const pugi::xml_node delay = firstElement("Delay", document);
    if (!delay) return;
    for (const char* name : {"DelayLine_SyncL", "DelayLine_SyncR"})
        if (const pugi::xml_node sync = firstElement(name, delay))
            if (const pugi::xml_node manual = firstElement("Manual", sync)) setValue(manual, "false");
}

std::vector<std::uint8_t> templateData()
{
    const auto path = Resources::find("veltrane-rackv2.adg", "Presets");
    if (!path) throw Error::templateMissing();
    std::ifstream in(*path, std::ios::binary);
    if (!in) throw Error::templateUnreadable(std::strerror(errno));
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw Error::templateUnreadable(std::strerror(errno));
    return bytes;
}

std::vector<std::uint8_t> rack(const LockedTone& tone)
{
    const std::vector<std::uint8_t> xml = Gzip::decompress(templateData());
    pugi::xml_document document;
    // Whitespace-only text is kept so the written document has the template's layout; pugixml never
    // reads a DTD, so no external entity can be loaded.
    constexpr unsigned options = pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_declaration |
                                 pugi::parse_comments | pugi::parse_doctype;
    const pugi::xml_parse_result parsed = document.load_buffer(xml.data(), xml.size(), options, pugi::encoding_utf8);
    if (!parsed) throw Error::xml(std::string(parsed.description()) + " at byte " + std::to_string(parsed.offset));
    for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling())
        if (node.type() == pugi::node_declaration) node.remove_attribute("standalone");
    patch(document, tone);
    Writer writer;
    document.save(writer, "", pugi::format_raw, pugi::encoding_utf8);
    return Gzip::compress(std::span(reinterpret_cast<const std::uint8_t*>(writer.out.data()), writer.out.size()));
}

std::string filename(const LockedTone& tone) { return MIDIExport::exportFilename(tone.baseMidiNote, "adg"); }

} // namespace veltrane::AbletonExport
