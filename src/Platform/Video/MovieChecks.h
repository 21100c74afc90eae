#pragma once
// The checks both backends make of what they are given (internal to the layer).
#include "Platform/Video/MovieWriter.h"

namespace veltrane::video {

// The format with its defaults filled in. Throws std::invalid_argument.
MovieFormat checkedFormat(MovieFormat format);
// Throws std::invalid_argument unless the frame has the format's size.
void checkFrame(const MovieFormat& format, const Image& frame);

} // namespace veltrane::video
