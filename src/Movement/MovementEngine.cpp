#include "Movement/MovementEngine.h"

namespace veltrane {

MovementEngine MovementSettings::makeEngine(OwnedRandomSource random) const
{
    switch (mode) {
    case MovementMode::arpeggiator: return ArpeggiatorEngine(arp, std::move(random));
    case MovementMode::euclidean: return EuclideanEngine(euclidean);
    case MovementMode::markov: return MarkovEngine(markov, std::move(random));
    case MovementMode::lsystem: return LSystemEngine(lsystem);
    }
    return ArpeggiatorEngine(arp, std::move(random)); // unreachable: every mode is handled above
}

} // namespace veltrane
