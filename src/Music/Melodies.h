#pragma once
// The eleven built-in text tunes, and the lookup of any built-in tune (text tune or classic) by id.

#include <optional>
#include <string_view>
#include <vector>

#include "Music/Melody.h"

namespace veltrane::Melodies {

// The text tunes in menu order. Built once, on the first call (thread-safe); never changes.
const std::vector<Melody>& all();

// The first text tune with this id, otherwise the first classic with it (which loads the classics
// if they are not loaded yet); nothing when no built-in tune has it.
std::optional<Melody> melody(std::string_view id);

} // namespace veltrane::Melodies
