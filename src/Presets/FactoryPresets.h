#pragma once
// The built-in presets: the resource "factory-presets.json" (in "Presets/", else at the resource
// root), read once per process on first use, also when first asked from several threads at once.
// A resource that is missing, unreadable or undecodable gives the empty list, without a word.
#include "Presets/Preset.h"

#include <vector>

namespace veltrane::FactoryPresets {

const std::vector<Preset>& all();

} // namespace veltrane::FactoryPresets
