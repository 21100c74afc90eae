#include <gtest/gtest.h>

#include <cmath>

#include "RendererFixture.h"

using namespace veltrane;
using veltrane::testing::RendererTest;

namespace {

// The formulas as the processor side defines them, in double precision, with the shader's bailout.
// The pixel's point and the Julia constant are taken as the uniform block carries them (32-bit
// floats), so that chaotic orbits, which amplify any difference in their start, start alike.
std::pair<double, double> stepOf(FractalType type, double x, double y, double cx, double cy)
{
    double X = x * x - y * y, Y = 2 * x * y;
    switch (type) {
    case FractalType::burningship: return {X + cx, 2 * std::abs(x) * std::abs(y) + cy};
    case FractalType::tricorn: return {X + cx, -2 * x * y + cy};
    case FractalType::celtic: return {std::abs(X) + cx, Y + cy};
    case FractalType::buffalo: return {std::abs(X) + cx, 2 * std::abs(x) * std::abs(y) + cy};
    case FractalType::perpendicular: return {X + cx, -2 * x * std::abs(y) + cy};
    case FractalType::multibrot3: return {x * (x * x - 3 * y * y) + cx, y * (3 * x * x - y * y) + cy};
    case FractalType::multibrot4: return {X * X - Y * Y + cx, 2 * X * Y + cy};
    default: return {X + cx, Y + cy};
    }
}

struct Escape {
    bool escaped;
    int count;
};

Escape oracle(const RenderView& view, int width, int height, int px, int py)
{
    // The pixel's point as the uniform block defines it: centre and pixel scale are 32-bit floats.
    float scale = float(2.5 / (view.zoom * std::min(width, height)));
    double re = double(float(view.centerX)) + double((float(px) + 0.5f - float(width) / 2)) * double(scale);
    double im = double(float(view.centerY)) + double(-(float(py) + 0.5f - float(height) / 2)) * double(scale);
    bool julia = view.type == FractalType::julia;
    double x = julia ? re : 0, y = julia ? im : 0;
    double cx = julia ? double(float(view.juliaC.x)) : re, cy = julia ? double(float(view.juliaC.y)) : im;
    int n = 0;
    while (n < view.maxIterations && x * x + y * y <= 65536) {
        std::tie(x, y) = stepOf(view.type, x, y, cx, cy);
        ++n;
    }
    return {x * x + y * y > 65536, n};
}

} // namespace

TEST_F(RendererTest, DiagnosticsOfEveryEscapeFormulaAgreeWithTheProcessor)
{
    const int width = 300, height = 200;
    for (FractalType type : allCases<FractalType>) {
        if (type == FractalType::newton) continue;
        SCOPED_TRACE(toText(type));
        RenderView view = homeView(type, 200);
        FractalRenderer::Diagnostic d = renderer->renderDiagnostic(view, width, height);
        ASSERT_EQ(d.escaped.size(), size_t(width * height));
        ASSERT_EQ(d.mu.size(), size_t(width * height));
        int agreeEscape = 0, bothEscaped = 0, agreeCount = 0, inside = 0;
        for (int py = 0; py < height; ++py)
            for (int px = 0; px < width; ++px) {
                size_t i = size_t(py * width + px);
                Escape cpu = oracle(view, width, height, px, py);
                if (cpu.escaped == d.escaped[i]) ++agreeEscape;

                if (!d.escaped[i]) {
                    ++inside;
                    EXPECT_EQ(d.mu[i], 0.0) << "points that never escape carry mu = 0";
                }
                if (cpu.escaped && d.escaped[i]) {
                    ++bothEscaped;
                    if (std::abs(std::floor(d.mu[i]) - cpu.count) <= 1) ++agreeCount;
                }
            }
        EXPECT_GE(agreeEscape, 0.995 * width * height);
        EXPECT_GE(agreeCount, 0.99 * bothEscaped);
        EXPECT_GT(inside, 0) << "every home view shows part of its set";
        EXPECT_GT(bothEscaped, width * height / 4);
    }
}

TEST_F(RendererTest, NewtonDiagnosticsReportConvergence)
{
    FractalRenderer::Diagnostic d = renderer->renderDiagnostic(homeView(FractalType::newton, 64), 30, 20);
    int converged = 0;
    for (bool e : d.escaped) converged += e;
    EXPECT_GT(converged, 30 * 20 * 9 / 10);
}
