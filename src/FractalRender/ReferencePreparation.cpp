// The renderer's per-frame choice of reference orbit and approximation table for deep views.
#include "FractalRender/FractalRenderer.h"

namespace veltrane {

void FractalRenderer::prepareReference(const RenderView& view, bool wait)
{
    std::optional<ReferenceStore::Hint> hint;
    if (view.referenceHint) hint = ReferenceStore::Hint{view.referenceHint->centre, view.referenceHint->maxIterations};
    ReferenceStore::Choice choice =
        references_->choose(view.type, view.exactCentre(), view.juliaC, view.maxIterations, view.zoom, hint, wait);
    reference_ = std::move(choice.orbit);
    deltaOffset_ = choice.deltaOffset;
    deltaOffsetScaled_ = choice.deltaOffsetScaled;
    stats_.referenceStale = choice.stale;
    stats_.referenceMs = choice.referenceMs;
}

std::shared_ptr<BLATable> FractalRenderer::blaTable(const RenderView& view, int width, int height)
{
    if (!iterationSkipping || !reference_) return nullptr;
    return BLATable::forView(device_, *reference_, view.type, view.zoom, deltaOffsetScaled_, width, height);
}

} // namespace veltrane
