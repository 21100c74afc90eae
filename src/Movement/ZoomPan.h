#pragma once
// The optimal zoom-and-pan path between two views (van Wijk and Nuij's smooth path, rho = 1.4): the
// camera pulls out while it pans far and dives while it pans little, and the perceived speed is even.
//
// Views are given by their widths in the fractal plane (2.5 / zoom) and the distance between their
// centres. The path is evaluated in the logarithms of widths measured in units of the start width, so
// it stays finite for any pair of positive finite widths: the closed form squares the width ratio and
// the distance in start widths and takes cosh of the path parameter, which overflow or underflow past
// zooms of about 1e154 (the instrument goes to 1e300). Where the closed form is finite both agree.
//
// Domain: w0 and w1 positive and finite, distance finite and not negative. A distance of at most
// 1e-9 of the smaller width (or NaN) is a pure zoom: the distance is stored as 0.

namespace veltrane {

class ZoomPan {
public:
    static constexpr double rho = 1.4;
    // The path's constants as products of rho in doubles, exactly as the path's closed form takes them.
    static constexpr double rho2 = rho * rho;
    static constexpr double rho4 = rho * rho * rho * rho;
    static constexpr double twoRho2 = 2 * rho2;
    static_assert(rho2 == 1.9599999999999997 && rho4 == 3.841599999999999 && twoRho2 == 3.9199999999999995);

    ZoomPan() noexcept = default;
    ZoomPan(double w0, double w1, double distance) noexcept;

    double w0() const noexcept { return w0_; }
    double w1() const noexcept { return w1_; }
    double distance() const noexcept { return distance_; }
    // The path parameter at the start; 0 for a pure zoom.
    double r0() const noexcept { return r0_; }
    // The path length S in the path's own measure.
    double length() const noexcept { return length_; }

    struct Point {
        double u; // distance travelled along the line between the centres, 0...distance
        double w; // view width
    };
    // The point at path fraction s: (0, w0) for s <= 0 (NaN counts as 0), exactly (distance, w1) for s >= 1.
    Point at(double s) const noexcept;

    struct Progress {
        double k;    // u / distance in [0, 1]; 0 for a pure zoom
        double rest; // 1 − k, computed on its own: near the end of a deep dive the distance left is
                     // far below the rounding of k, yet it is what keeps the destination in view
        double w;
    };
    // The same point as fractions of the distance, free of the rounding of u / distance.
    Progress progress(double s) const noexcept;

    friend bool operator==(const ZoomPan&, const ZoomPan&) noexcept = default;

private:
    double w0_ = 1;
    double w1_ = 1;
    double distance_ = 0;
    double r0_ = 0;
    double length_ = 0;
    double logE_ = 0;      // ln(w1 / w0)
    double logH_ = 0;      // ln(distance / w0)
    double logCoshR0_ = 0; // ln cosh r0
};

} // namespace veltrane
