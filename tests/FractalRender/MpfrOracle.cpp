#include "MpfrOracle.h"

#include <mpfr.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <set>
#include <thread>

#include "FractalRender/FractalUniforms.h"

namespace veltrane::oracle {

PixelGrid::PixelGrid(int width, int height, double zoom, bool rescaled) : width(width), height(height)
{
    double zoomField = zoom;
    if (rescaled) {
        int k = 0;
        zoomField = std::frexp(zoom, &k) * 2.0;
        exponentE = k - 1;
    }
    pixelScale = float(2.5 / (zoomField * std::min(width, height)));
}

double PixelGrid::dx(int px) const
{
    return std::ldexp(double(float(float(px) + 0.5f - float(width) / 2.0f) * pixelScale), -exponentE);
}

double PixelGrid::dy(int py) const
{
    return -std::ldexp(double(float(float(py) + 0.5f - float(height) / 2.0f) * pixelScale), -exponentE);
}

double PixelGrid::pixelSize() const { return std::ldexp(double(pixelScale), -exponentE); }

namespace {

// One thread's MPFR variables, kept from point to point (initialising them costs more than a short
// orbit).
class Workspace {
public:
    Workspace() { mpfr_inits2(64, x, y, cx, cy, xx, yy, xy, t, r, (mpfr_ptr) nullptr); }
    ~Workspace() { mpfr_clears(x, y, cx, cy, xx, yy, xy, t, r, (mpfr_ptr) nullptr); }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    Point run(const Orbit& orbit, const std::string& centreX, const std::string& centreY, const Offset& offset);

private:
    void precision(long bits)
    {
        if (bits == bits_) return;
        for (mpfr_ptr v : {x, y, cx, cy, xx, yy, xy, t, r}) mpfr_set_prec(v, bits);
        bits_ = bits;
    }

    mpfr_t x, y, cx, cy, xx, yy, xy, t, r;
    long bits_ = 64;
};

// |v| >= 2^15, so that |z|^2 may exceed the bailout; cheaper than a conversion every iteration.
bool large(mpfr_srcptr v) { return mpfr_regular_p(v) && mpfr_get_exp(v) > 15; }

Point Workspace::run(const Orbit& orbit, const std::string& centreX, const std::string& centreY, const Offset& offset)
{
    const FractalType type = orbit.type;
    precision(offset.bits);
    mpfr_set_str(cx, centreX.c_str(), 10, MPFR_RNDN);
    mpfr_set_str(cy, centreY.c_str(), 10, MPFR_RNDN);
    mpfr_add_d(cx, cx, offset.dx, MPFR_RNDN);
    mpfr_add_d(cy, cy, offset.dy, MPFR_RNDN);
    if (type == FractalType::julia) {
        mpfr_set(x, cx, MPFR_RNDN);
        mpfr_set(y, cy, MPFR_RNDN);
        mpfr_set_d(cx, orbit.juliaC.x, MPFR_RNDN);
        mpfr_set_d(cy, orbit.juliaC.y, MPFR_RNDN);
    } else {
        mpfr_set_zero(x, 1);
        mpfr_set_zero(y, 1);
    }
    for (int n = 0;; ++n) {
        mpfr_sqr(xx, x, MPFR_RNDN);
        mpfr_sqr(yy, y, MPFR_RNDN);
        if (large(xx) || large(yy)) {
            const double r2 = mpfr_get_d(xx, MPFR_RNDN) + mpfr_get_d(yy, MPFR_RNDN);
            if (r2 > 65536.0) {
                // The kernel's smooth count: in (n, n + 1] for an orbit that leaves from within the radius.
                const double ratio = 0.5 * std::log2(r2) / 8.0;
                const double mu = double(n) + 1.0 - std::log2(std::max(ratio, 1.0)) / std::log2(double(degree(type)));
                return {true, n, std::max(mu, 0.0)};
            }
        }
        if (n >= orbit.maxIterations) return {false, n, 0.0};
        mpfr_mul(xy, x, y, MPFR_RNDN);
        switch (type) {
        case FractalType::multibrot3: // x' = x (x² − 3y²), y' = y (3x² − y²)
            mpfr_mul_ui(t, yy, 3, MPFR_RNDN);
            mpfr_sub(t, xx, t, MPFR_RNDN);
            mpfr_mul(t, t, x, MPFR_RNDN);
            mpfr_mul_ui(r, xx, 3, MPFR_RNDN);
            mpfr_sub(r, r, yy, MPFR_RNDN);
            mpfr_mul(y, r, y, MPFR_RNDN);
            mpfr_set(x, t, MPFR_RNDN);
            break;
        case FractalType::multibrot4: // (x² − y² + 2ixy)²
            mpfr_sub(t, xx, yy, MPFR_RNDN);
            mpfr_mul_2ui(xy, xy, 1, MPFR_RNDN);
            mpfr_sqr(x, t, MPFR_RNDN);
            mpfr_sqr(r, xy, MPFR_RNDN);
            mpfr_sub(x, x, r, MPFR_RNDN);
            mpfr_mul(y, t, xy, MPFR_RNDN);
            mpfr_mul_2ui(y, y, 1, MPFR_RNDN);
            break;
        default: {
            mpfr_sub(t, xx, yy, MPFR_RNDN);
            if (type == FractalType::celtic || type == FractalType::buffalo) mpfr_abs(t, t, MPFR_RNDN);
            mpfr_mul_2ui(r, xy, 1, MPFR_RNDN);
            if (type == FractalType::burningship || type == FractalType::buffalo) mpfr_abs(r, r, MPFR_RNDN);
            if (type == FractalType::tricorn) mpfr_neg(r, r, MPFR_RNDN);
            if (type == FractalType::perpendicular) { // y' = −2 x |y|
                mpfr_abs(r, y, MPFR_RNDN);
                mpfr_mul(r, r, x, MPFR_RNDN);
                mpfr_mul_si(r, r, -2, MPFR_RNDN);
            }
            mpfr_set(x, t, MPFR_RNDN);
            mpfr_set(y, r, MPFR_RNDN);
        }
        }
        mpfr_add(x, x, cx, MPFR_RNDN);
        mpfr_add(y, y, cy, MPFR_RNDN);
    }
}

} // namespace

std::vector<Point> iterate(const Orbit& orbit, const std::vector<Offset>& offsets)
{
    const std::string centreX = orbit.centre.x().decimal(), centreY = orbit.centre.y().decimal();
    std::vector<Point> points(offsets.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        Workspace w;
        for (std::size_t i; (i = next.fetch_add(1)) < offsets.size();)
            points[i] = w.run(orbit, centreX, centreY, offsets[i]);
    };
    const unsigned threads =
        std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(), unsigned(offsets.size())));
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < threads; ++i) pool.emplace_back(work);
    work();
    for (auto& thread : pool) thread.join();
    return points;
}

double Agreement::flagShare() const { return stable ? double(stableFlagsAgree) / stable : 1.0; }
double Agreement::countShare() const { return stableEscaped ? double(stableCountsAgree) / stableEscaped : 1.0; }

std::string Agreement::summary() const
{
    char text[320];
    std::snprintf(text, sizeof text,
                  "%d pixels: %d unsettled, %d position-sensitive, %d stable (%d escape); flags agree %.1f %%, "
                  "counts within 1 %.1f %%; counts %d to %d (%d distinct); all pixels agree %d",
                  pixels, unsettled, sensitive, stable, stableEscaped, 100 * flagShare(), 100 * countShare(),
                  lowestCount, highestCount, distinctCounts, agree);
    return std::string(text) + (firstMiss.empty() ? "" : "; first miss: " + firstMiss);
}

Agreement compare(FractalRenderer& renderer, const RenderView& view, int width, int height, const Options& options)
{
    const bool rescaled = uniformMode(view, true, renderer.forceExtremePath) == 2;
    const PixelGrid grid(width, height, view.zoom, rescaled);
    const long log2Zoom = long(std::max(0.0, std::log2(view.zoom)));
    const double shift = 1e-5 * grid.pixelSize();
    const int perPixel = options.positionCheck ? 3 : 2;
    std::vector<Offset> offsets;
    for (int py = 0; py < height; ++py)
        for (int px = 0; px < width; ++px) {
            const double dx = grid.dx(px), dy = grid.dy(py);
            offsets.push_back({dx, dy, log2Zoom + options.extraBits});
            offsets.push_back({dx, dy, log2Zoom + options.finerExtraBits});
            if (options.positionCheck) offsets.push_back({dx + shift, dy + shift, log2Zoom + options.extraBits});
        }
    const Orbit orbit{view.type, view.exactCentre(), view.juliaC, int(view.maxIterations)};
    const std::vector<Point> points = iterate(orbit, offsets);
    const FractalRenderer::Diagnostic diag = renderer.renderDiagnostic(view, width, height);

    Agreement a;
    std::set<int> counts;
    std::string firstAnyMiss;
    for (int py = 0; py < height; ++py)
        for (int px = 0; px < width; ++px) {
            const std::size_t i = std::size_t(py * width + px);
            const Point& o = points[i * perPixel];
            const Point& finer = points[i * perPixel + 1];
            const bool unsettled = finer.escaped != o.escaped || finer.n != o.n;
            bool sensitive = false;
            if (options.positionCheck) {
                const Point& moved = points[i * perPixel + 2];
                sensitive = !unsettled && (moved.escaped != o.escaped || std::abs(moved.n - o.n) > 1);
            }
            const bool gpuEscaped = diag.escaped[i];
            const int gpuCount = int(std::floor(diag.mu[i]));
            const bool flagOk = gpuEscaped == o.escaped;
            const bool countOk =
                o.escaped && flagOk && std::abs(gpuCount - o.n) <= std::max(1, o.n * options.tolerancePercent / 100);
            const bool ok = flagOk && (!o.escaped || countOk);
            a.pixels += 1;
            a.agree += ok;
            a.unsettled += unsettled;
            a.sensitive += sensitive;
            if (o.escaped) counts.insert(o.n);
            char miss[200] = "";
            if (!ok)
                std::snprintf(miss, sizeof miss, "pixel (%d, %d) oracle %s, renderer %s", px, py,
                              o.escaped ? std::to_string(o.mu).c_str() : "inside",
                              gpuEscaped ? std::to_string(diag.mu[i]).c_str() : "inside");
            if (!ok && firstAnyMiss.empty()) firstAnyMiss = miss;
            if (unsettled || sensitive) continue;
            a.stable += 1;
            a.stableFlagsAgree += flagOk;
            a.stableEscaped += o.escaped;
            a.stableCountsAgree += countOk;
            if (!ok && a.firstMiss.empty()) a.firstMiss = miss;
        }
    if (a.firstMiss.empty()) a.firstMiss = firstAnyMiss;
    a.distinctCounts = int(counts.size());
    if (!counts.empty()) {
        a.lowestCount = *counts.begin();
        a.highestCount = *counts.rbegin();
    }
    return a;
}

} // namespace veltrane::oracle
