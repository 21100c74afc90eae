// libFuzzer target: any bytes as a preset file. A file either reads or fails with PresetFile::Error
// or Json::Error; a preset the check finds fit has finite numbers and a positive zoom and survives
// writing and reading back.
#include "Require.h"
#include "Presets/PresetFile.h"
#include "Platform/Json/Json.h"

#include <chrono>
#include <cmath>

using namespace veltrane;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<PresetFile::Checked> checked;
    try {
        checked = PresetFile::decodeChecked({data, size});
    } catch (const PresetFile::Error&) {
        return 0;
    } catch (const Json::Error&) {
        return 0;
    } catch (const Json::Value::exception&) {
        std::fprintf(stderr, "a library exception escaped the reader\n");
        std::abort();
    }
    std::vector<Preset> fit;
    for (const auto& c : checked) {
        if (c.defect) continue;
        const Preset& p = c.preset;
        require(std::isfinite(p.centerX) && std::isfinite(p.centerY) && std::isfinite(p.rotation),
                "a fit preset has a finite view");
        require(std::isfinite(p.zoom) && p.zoom > 0, "a fit preset has a positive zoom");
        fit.push_back(p);
    }
    const auto bytes = PresetFile::encode(fit, std::chrono::system_clock::time_point{});
    require(PresetFile::decode(bytes).size() == fit.size(), "fit presets write and read back");
    return 0;
}
