// The full oracle sweep (DeepSweep.h): every formula at every kind of place from 1e31 to 1e300, and
// the live single-precision kernel from 1e4 to 1e29. Not part of `make test`; run it with
//   ctest --test-dir build -L DeepOracleSweep -j 2
// (each view is one test; a view prints its agreement figures, and fails with them).
#include "../DeepSweep.h"

namespace veltrane::sweep {
namespace {

const std::initializer_list<double> kDeepZooms{1e31,  1e38,  1e46,  3e59,  1e75,  1e87,
                                               1e105, 1e130, 1e160, 1e200, 1e250, 1e300};
// The published location: its orbit comes close to 0 at iterations 55 and 491, and its digits end
// near 1e-287.
const std::initializer_list<double> kPublicZooms{1e31,  1e50,  1e75,  1e100, 1e105, 1e110, 1e115, 1e120,
                                                 1e140, 1e160, 1e180, 1e190, 1e210, 1e230, 1e250};
const std::initializer_list<double> kLiveZooms{1e4, 1e8, 1e13, 1e20, 1e29};

constexpr std::array kFormulas{FractalType::mandelbrot,    FractalType::julia,      FractalType::burningship,
                               FractalType::tricorn,       FractalType::celtic,     FractalType::buffalo,
                               FractalType::perpendicular, FractalType::multibrot3, FractalType::multibrot4};

std::vector<SweepView> allViews()
{
    std::vector<SweepView> all;
    auto add = [&](std::vector<SweepView> v) { all.insert(all.end(), v.begin(), v.end()); };
    for (FractalType type : kFormulas)
        for (Site site : {Site::minibrot, Site::besideMinibrot, Site::misiurewicz}) add(views(type, site, kDeepZooms));
    add(views(FractalType::mandelbrot, Site::publicLocation, kPublicZooms));
    add(views(FractalType::mandelbrot, Site::publicLocation, kPublicZooms, Kernel::noTable));
    add(views(FractalType::julia, Site::misiurewicz, kDeepZooms, Kernel::noTable));
    add(views(FractalType::multibrot4, Site::dwellMinibrot, kDeepZooms));
    for (FractalType type : kFormulas)
        for (Site site : {Site::minibrot, Site::besideMinibrot, Site::misiurewicz})
            add(views(type, site, kLiveZooms, Kernel::live));
    add(views(FractalType::mandelbrot, Site::publicLocation, kLiveZooms, Kernel::live));
    return all;
}

INSTANTIATE_TEST_SUITE_P(Full, DeepSweep, ::testing::ValuesIn(allViews()),
                         [](const auto& info) { return testName(info.param); });

} // namespace
} // namespace veltrane::sweep
