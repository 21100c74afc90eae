#pragma once
// The deep benchmark views: a centre as decimal text, read at the precision a zoom needs.
#include "FractalCore/BigComplex.h"
#include "FractalCore/BigFixed.h"

namespace veltrane::bench {

struct Location {
  const char* x;
  const char* y;
};

inline const Location kSeahorse{"-0.743643887037158704752191506114774", "0.131825904205311970493132056385139"};

// "MANDELBROT_20_ZOOM_VERY_DEEP_612" by Christopher Kormanyos, published in the ckormanyos/mandelbrot
// repository (mandelbrot/cfg/mandelbrot_cfg_MANDELBROT_20_ZOOM_VERY_DEEP_612.h), where it is said to be
// the centre of the zoom video https://www.youtube.com/watch?v=pCpLWbHVNhk as well. Published with
// about 1,100 digits; the first 300 after the point are kept, more than the 15 limbs a 1e250 view uses.
// Every pixel of a 1280 x 720 view escapes: after 28,400 to 35,000 iterations at 1e100 (the corners
// first, the centre last) and after 51,900 to 56,200 at 1e250.
inline const Location kVeryDeep612{
    "+0.3602404434376143632361252444495453084826078079585857504883758147401953460592181003117529367227734263"
    "9623373172972498773732003537268328531766453240121852157955428866172656432413470229996281702921332998"
    "0895208036363104546639698106204384566555001322985619004717862781192694046362748742863016467354574422",
    "-0.6413130610648031748603750151793020665794949522823052595561775430644485741727536902556370230689681162"
    "3707405655370721497901069732111052737408519933948032874376062385962622877310759994839404671612888406"
    "1458109129432570998899226916500739430573268320831883467236694755071092008850165570425238524448116883"};

inline BigComplex centreAt(const Location& location, double zoom) {
  const int limbs = BigFixed::limbsForZoom(zoom, 64);
  return BigComplex(*BigFixed::fromDecimal(location.x, limbs), *BigFixed::fromDecimal(location.y, limbs));
}

}  // namespace veltrane::bench
