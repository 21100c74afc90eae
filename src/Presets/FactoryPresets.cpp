#include "Presets/FactoryPresets.h"

#include "Platform/Resources/Resources.h"
#include "Presets/PresetFile.h"

namespace veltrane::FactoryPresets {

namespace {

std::vector<Preset> load()
{
    const auto path = Resources::find("factory-presets.json", "Presets");
    if (!path) return {};
    const auto text = Resources::readText(*path);
    if (!text) return {};
    try {
        return PresetFile::decode(std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace

const std::vector<Preset>& all()
{
    // A function-local static is initialised exactly once; concurrent first readers wait for it.
    static const std::vector<Preset> presets = load();
    return presets;
}

} // namespace veltrane::FactoryPresets
