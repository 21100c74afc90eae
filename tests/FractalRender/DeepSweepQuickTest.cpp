// The quick part of the oracle sweep (DeepSweep.h): a few views of each kind that has gone wrong
// at depth, and the live single-precision kernel below 1e30.
#include "DeepSweep.h"

namespace veltrane::sweep {
namespace {

std::vector<SweepView> quickViews()
{
    std::vector<SweepView> all;
    auto add = [&](std::vector<SweepView> v) { all.insert(all.end(), v.begin(), v.end()); };
    // The reference orbit through 0 or very close to it.
    add(views(FractalType::mandelbrot, Site::publicLocation, {1e120, 1e140}));
    add(views(FractalType::mandelbrot, Site::publicLocation, {1e120}, Kernel::noTable));
    add(views(FractalType::mandelbrot, Site::minibrot, {1e87}));
    // Copies of the set of the higher degrees.
    add(views(FractalType::multibrot4, Site::minibrot, {3e59}));
    add(views(FractalType::multibrot3, Site::minibrot, {1e87}));
    // Orbits that stay hundreds of iterations at a repelling fixed point between returns to the copy.
    add(views(FractalType::multibrot3, Site::minibrot, {1e200}));
    add(views(FractalType::multibrot4, Site::dwellMinibrot, {1e300}));
    // The folds with the reference just off the real axis.
    add(views(FractalType::burningship, Site::besideMinibrot, {1e46}));
    add(views(FractalType::buffalo, Site::besideMinibrot, {1e46}));
    add(views(FractalType::perpendicular, Site::besideMinibrot, {1e46}));
    // The live kernel below 1e30.
    add(views(FractalType::mandelbrot, Site::publicLocation, {1e20}, Kernel::live));
    add(views(FractalType::burningship, Site::misiurewicz, {1e13}, Kernel::live));
    add(views(FractalType::multibrot4, Site::minibrot, {1e29}, Kernel::live));
    return all;
}

INSTANTIATE_TEST_SUITE_P(Quick, DeepSweep, ::testing::ValuesIn(quickViews()),
                         [](const auto& info) { return testName(info.param); });

} // namespace
} // namespace veltrane::sweep
