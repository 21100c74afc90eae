// The zoom-and-pan path against its closed form evaluated in long double, and at any depth the
// instrument reaches.
#include "Movement/ZoomPan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace veltrane {
namespace {

// The path's closed form with the same constants, in 64-bit-mantissa long double whose exponent
// range (to 1e4932) takes the squares and cosh values that overflow a double past zoom 1e154.
struct ClosedForm {
    long double w0, w1, d, r0 = 0, length = 0;
    bool pan = false;

    ClosedForm(double a, double b, double distance) : w0(a), w1(b), d(distance)
    {
        const long double rho = ZoomPan::rho, rho4 = ZoomPan::rho4, twoRho2 = ZoomPan::twoRho2;
        const long double e = w1 / w0;
        pan = d > std::min(w0, w1) * 1e-9L;
        if (pan) {
            const long double h = d / w0;
            const long double b0 = (e * e - 1 + rho4 * h * h) / (twoRho2 * h);
            const long double b1 = (e * e - 1 - rho4 * h * h) / (twoRho2 * e * h);
            r0 = -std::asinh(b0);
            length = (std::asinh(b0) - std::asinh(b1)) / rho;
        } else {
            length = std::abs(std::log(e)) / rho;
        }
    }
    // The closed form of u, w0 / rho² (cosh r0 tanh(rho S + r0) − sinh r0), cancels to nothing in any
    // precision once cosh r0 is large; its exact rewriting w0 sinh(rho S) / (rho² cosh(rho S + r0))
    // does not (sinh(a − b) = sinh a cosh b − cosh a sinh b). Both are checked against each other where
    // the former is well conditioned.
    long double u(double s) const
    {
        const long double rho = ZoomPan::rho, S = s * length;
        if (!pan) return 0;
        return w0 * std::sinh(rho * S) / (ZoomPan::rho2 * std::cosh(rho * S + r0));
    }
    long double uLiteral(double s) const
    {
        const long double rho = ZoomPan::rho, S = s * length;
        if (!pan) return 0;
        return w0 / ZoomPan::rho2 * (std::cosh(r0) * std::tanh(rho * S + r0) - std::sinh(r0));
    }
    long double w(double s) const
    {
        const long double rho = ZoomPan::rho, S = s * length;
        if (!pan) return w0 * std::exp(w1 >= w0 ? rho * S : -rho * S);
        return w0 * std::cosh(r0) / std::cosh(rho * S + r0);
    }
};

double width(double zoom) { return 2.5 / zoom; }

struct Case {
    double zoomFrom, zoomTo, distance;
};

TEST(ZoomPan, AgreesWithTheClosedFormAtModerateZooms)
{
    const Case cases[] = {
        {1, 1e6, 0.3}, {1e6, 1, 1e-6}, {1, 1, 2}, {1e3, 1e5, 0.01}, {10, 2, 1.5}, {1e12, 1e9, 1e-10}, {1, 1e6, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.zoomFrom << " -> " << c.zoomTo << " over " << c.distance);
        const ZoomPan path(width(c.zoomFrom), width(c.zoomTo), c.distance);
        const ClosedForm exact(width(c.zoomFrom), width(c.zoomTo), c.distance);
        EXPECT_NEAR(path.length(), double(exact.length), 1e-12 * double(exact.length));
        EXPECT_NEAR(path.r0(), double(exact.r0), 1e-12 * std::max(1.0, std::abs(double(exact.r0))));
        for (double s : {0.0, 0.05, 0.25, 0.5, 0.75, 0.95, 0.999}) {
            const ZoomPan::Point p = path.at(s);
            EXPECT_NEAR(p.w, double(exact.w(s)), 1e-12 * double(exact.w(s))) << s;
            EXPECT_NEAR(p.u, double(exact.u(s)), 1e-12 * double(exact.u(s))) << s;
            if (std::abs(exact.r0) < 4) {
                EXPECT_NEAR(double(exact.uLiteral(s)), double(exact.u(s)), 1e-14 * c.distance) << s;
            }
        }
    }
}

TEST(ZoomPan, EndsExactlyAndZoomsPurelyExponentially)
{
    const ZoomPan path(2.5, 2.5e-7, 0.4);
    EXPECT_EQ(path.at(1).u, 0.4);
    EXPECT_EQ(path.at(1).w, 2.5e-7);
    EXPECT_EQ(path.at(7).w, 2.5e-7);
    EXPECT_EQ(path.at(0).u, 0);
    EXPECT_DOUBLE_EQ(path.at(0).w, 2.5);

    // At most 1e-9 of the smaller width apart is a pure zoom: no distance, width geometric in s.
    const ZoomPan zoom(2.5, 2.5e-6, 2.5e-6 * 1e-9);
    EXPECT_EQ(zoom.distance(), 0);
    EXPECT_EQ(zoom.r0(), 0);
    for (double s : {0.1, 0.5, 0.9}) {
        EXPECT_EQ(zoom.at(s).u, 0);
        EXPECT_NEAR(zoom.at(s).w, 2.5 * std::pow(1e-6, s), 1e-12 * 2.5 * std::pow(1e-6, s));
    }
}

// Everywhere between zoom 1 and 1e300, pans of many widths and of almost none: finite, the distance
// covered only forwards (to rounding), the width within its end points while the pan is under half
// the wider view, and otherwise rising at most once before it falls.
TEST(ZoomPan, FiniteAndMonotoneBetweenZoomOneAnd1e300)
{
    const Case cases[] = {
        {1, 1e300, 0.5},        {1, 1e300, 1e-3},       {1, 1e300, 1e-290}, {1e300, 1, 1},
        {1e300, 1, 1e-300},     {1e300, 1e300, 1e-299}, {1e300, 1e300, 3},  {1e200, 1e300, 1e-201},
        {1e154, 1e160, 1e-155}, {1, 1e300, 0},          {1e300, 1, 0},      {1e300, 2e300, 1e-308},
        {1e250, 1e280, 2},      {1e-1, 1e300, 25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.zoomFrom << " -> " << c.zoomTo << " over " << c.distance);
        const double w0 = width(c.zoomFrom), w1 = width(c.zoomTo);
        const ZoomPan path(w0, w1, c.distance);
        const ClosedForm exact(w0, w1, c.distance);
        ASSERT_TRUE(std::isfinite(path.r0()) && std::isfinite(path.length()));
        const bool monotone = c.distance <= 0.5 * std::max(w0, w1);
        double lastU = 0, lastW = w0;
        bool falling = false;
        for (int i = 0; i <= 256; ++i) {
            const double s = i / 256.0;
            const ZoomPan::Point p = path.at(s);
            ASSERT_TRUE(std::isfinite(p.u) && std::isfinite(p.w) && p.w > 0) << s;
            // The width has no cancellation in its closed form: it checks the deep path too.
            EXPECT_NEAR(p.w, double(exact.w(s)), 1e-12 * double(exact.w(s))) << s;
            EXPECT_GE(p.u, lastU - 1e-15 * path.distance()) << s; // forwards, to rounding

            EXPECT_LE(p.u, path.distance()) << s;
            if (monotone) {
                EXPECT_GE(p.w, std::min(w0, w1) * (1 - 1e-12)) << s;
                EXPECT_LE(p.w, std::max(w0, w1) * (1 + 1e-12)) << s;
                if (w1 < w0) {
                    EXPECT_LE(p.w, lastW * (1 + 1e-12)) << s;
                    // Diving, the destination stays within half a view of the centre, however far
                    // below the rounding of the whole distance the view has shrunk.
                    EXPECT_LE(path.progress(s).rest * path.distance(), p.w / ZoomPan::rho2 * (1 + 1e-9)) << s;
                } else if (w1 > w0) {
                    EXPECT_GE(p.w, lastW * (1 - 1e-12)) << s;
                }
            } else {
                if (p.w < lastW * (1 - 1e-12)) falling = true;
                if (falling) {
                    EXPECT_LE(p.w, lastW * (1 + 1e-12)) << s;
                }
            }
            lastU = p.u;
            lastW = p.w;
        }
        EXPECT_EQ(lastU, path.distance());
        EXPECT_EQ(lastW, w1);
    }
}

} // namespace
} // namespace veltrane
