// libFuzzer target: any bytes through the WAV reader. A decoded image has channels of one length and
// a positive rate, and, with at least one frame (the reader refuses the bare 44-byte header of an
// empty file), it survives a round trip through the 24-bit writer when its shape fits a header.
#include "Require.h"
#include "Synth/WAV.h"

#include <cmath>

using namespace veltrane;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto decoded = WAV::decode({data, size});
    if (!decoded) return 0;
    require(!decoded->channels.empty(), "at least one channel");
    require(decoded->sampleRate > 0, "a positive sample rate");
    const size_t frames = decoded->channels.front().size();
    for (const auto& channel : decoded->channels) require(channel.size() == frames, "channels of one length");
    if (frames == 0) return 0;
    try {
        const auto image = WAV::encode(decoded->channels, decoded->sampleRate, 24);
        const auto again = WAV::decode(image);
        require(again && again->channels.size() == decoded->channels.size() &&
                    again->sampleRate == decoded->sampleRate && again->channels.front().size() == frames,
                "what was read is written and read back in the same shape");
    } catch (const WAV::EncodeError&) {
        // A shape past the header's fields (a rate too high for the byte rate, say): refused, fine.
    }
    return 0;
}
