#include "DeepSweep.h"

#include <mpfr.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>

#include "FractalCore/BigFixed.h"
#include "FractalRender/FractalRenderer.h"
#include "MpfrOracle.h"

namespace veltrane::sweep {

namespace {

constexpr int kWidth = kSweepWidth, kHeight = kSweepHeight;

// ---------------------------------------------------------------------------------------------
// The places. Nuclei and preperiodic points of the holomorphic maps z^d + c are found by Newton's
// method in MPFR. The folded quadratic formulas (burningship, tricorn, celtic, buffalo,
// perpendicular) map the real axis as x^2 + c does, so mandelbrot's real nuclei and real
// preperiodic points are theirs too; views on them have their orbit on the axis, the views beside a
// minibrot have it just off the axis, where the folds matter.

struct Seed {
    const char* x;
    const char* y;
    int preperiod = 0, period = 0; // > 0: Newton's method for z_{k+p} = z_k refines the seed first
};

struct Places {
    FractalType type;
    Complex juliaC; // julia only
    int degree;     // of the map whose nuclei and preperiodic points serve the formula
    // Where the search for a nucleus of the right size starts: a real point of the chaotic part of the
    // real axis (the nuclei found are real), or a preperiodic point, near which copies of the set of
    // every size lie.
    Seed nucleusSeed;
    Seed preperiodic;
    int preperiodicIterations; // enough for every zoom up to 1e300
    // Where the search for a nucleus whose orbit dwells at a repelling fixed point starts (a
    // preperiodic point whose fixed point is irrational), for the formulas that have one here.
    std::optional<Seed> dwellSeed = std::nullopt;
};

// julia (c = i, whose Julia set is a dendrite through 0): in place of a preperiodic point the
// repelling fixed point a = (1 - sqrt(1 - 4c)) / 2, in place of a nucleus a preimage of it of depth
// 12 (the other preimage -a, then principal roots). Not a preimage of 0: orbits through 0 square
// their distance from the view's centre, and an oracle (or a reference orbit) would need twice the
// bits of the zoom.
constexpr Seed kRealQuadratic{"-1.9", "0"};
constexpr Seed kRealPreperiodicQuadratic{"-1.543689012692076361570855", "0", 3, 1};
constexpr Seed kComplexPreperiodicCubic{"-0.716852196967883", "0.512632994199019", 3, 1};
constexpr Seed kComplexPreperiodicQuartic{"-1.142835657096624", "0.2195805929504393", 3, 1};
const std::array<Places, 9> kPlaces{{
    {FractalType::mandelbrot, {}, 2, kRealQuadratic, {"0", "1", 2, 2}, 3000, kRealPreperiodicQuadratic},
    {FractalType::julia, {0, 1}, 2, {"", ""}, {"", ""}, 4000},
    {FractalType::burningship, {}, 2, kRealQuadratic, kRealPreperiodicQuadratic, 3000},
    {FractalType::tricorn, {}, 2, kRealQuadratic, kRealPreperiodicQuadratic, 3000},
    {FractalType::celtic, {}, 2, kRealQuadratic, kRealPreperiodicQuadratic, 3000},
    {FractalType::buffalo, {}, 2, kRealQuadratic, kRealPreperiodicQuadratic, 3000},
    {FractalType::perpendicular, {}, 2, kRealQuadratic, kRealPreperiodicQuadratic, 3000},
    {FractalType::multibrot3,
     {},
     3,
     kComplexPreperiodicCubic,
     {"-0.5748905843134248", "0.7163270422901122", 3, 1},
     3000,
     kComplexPreperiodicCubic},
    {FractalType::multibrot4, {}, 4, {"-1.2599", "0"}, kComplexPreperiodicQuartic, 3000, kComplexPreperiodicQuartic},
}};

const Places& placesOf(FractalType type)
{
    for (const auto& p : kPlaces)
        if (p.type == type) return p;
    throw std::invalid_argument("no places for this formula");
}

// "MANDELBROT_30_ZOOM_ANOTHER_00" by Christopher Kormanyos, published in the ckormanyos/mandelbrot
// repository (mandelbrot/cfg/mandelbrot_cfg_MANDELBROT_30_ZOOM_ANOTHER_00.h), with 287 digits. Its
// orbit comes within 1.5e-29 of 0 at iteration 55 and within 4e-66 at iteration 491.
const char* const kPublicX =
    "-1.740062382579339905220844167065825638296641720436171866879862418461182919644153056054840718339483225743"
    "450008259172138785492983677893366503417299549623738838303346465461290768441055486136870719850559269507357"
    "211790243666940134793753068611574745943820712885258222629105433648695946003865";
const char* const kPublicY =
    "0.0281753397792110489924115211443195096875390767429906085704013095958801743240920186385400814658560553615"
    "695084486774077000669037710191665338060418999324320867147028768983704831316527873719459264592084600433150"
    "333362859318102017032958074799966721030307082150171994798478089798638258639934";
constexpr int kPublicIterations = 30000;

// ---------------------------------------------------------------------------------------------
// Complex MPFR arithmetic for the searches (not the oracle's hot loop: values are made freely).

class Real {
public:
    explicit Real(long bits)
    {
        mpfr_init2(v, bits);
        mpfr_set_zero(v, 1);
    }
    Real(const Real& o)
    {
        mpfr_init2(v, mpfr_get_prec(o.v));
        mpfr_set(v, o.v, MPFR_RNDN);
    }
    Real& operator=(const Real& o)
    {
        mpfr_set(v, o.v, MPFR_RNDN);
        return *this;
    }
    ~Real() { mpfr_clear(v); }
    mpfr_t v;
};

struct Cx {
    explicit Cx(long bits) : re(bits), im(bits) {}
    Real re, im;
    long bits() const { return long(mpfr_get_prec(re.v)); }
    std::complex<long double> ld() const { return {mpfr_get_ld(re.v, MPFR_RNDN), mpfr_get_ld(im.v, MPFR_RNDN)}; }
};

Cx parse(const char* x, const char* y, long bits)
{
    Cx c(bits);
    mpfr_set_str(c.re.v, x, 10, MPFR_RNDN);
    mpfr_set_str(c.im.v, y, 10, MPFR_RNDN);
    return c;
}

Cx operator*(const Cx& a, const Cx& b)
{
    Cx out(a.bits()), t(a.bits());
    mpfr_mul(out.re.v, a.re.v, b.re.v, MPFR_RNDN);
    mpfr_mul(t.re.v, a.im.v, b.im.v, MPFR_RNDN);
    mpfr_sub(out.re.v, out.re.v, t.re.v, MPFR_RNDN);
    mpfr_mul(out.im.v, a.re.v, b.im.v, MPFR_RNDN);
    mpfr_mul(t.im.v, a.im.v, b.re.v, MPFR_RNDN);
    mpfr_add(out.im.v, out.im.v, t.im.v, MPFR_RNDN);
    return out;
}

Cx operator+(const Cx& a, const Cx& b)
{
    Cx out(a.bits());
    mpfr_add(out.re.v, a.re.v, b.re.v, MPFR_RNDN);
    mpfr_add(out.im.v, a.im.v, b.im.v, MPFR_RNDN);
    return out;
}

Cx operator-(const Cx& a, const Cx& b)
{
    Cx out(a.bits());
    mpfr_sub(out.re.v, a.re.v, b.re.v, MPFR_RNDN);
    mpfr_sub(out.im.v, a.im.v, b.im.v, MPFR_RNDN);
    return out;
}

Cx scaled(const Cx& a, long k)
{
    Cx out(a.bits());
    mpfr_mul_si(out.re.v, a.re.v, k, MPFR_RNDN);
    mpfr_mul_si(out.im.v, a.im.v, k, MPFR_RNDN);
    return out;
}

Cx plusOne(Cx a)
{
    mpfr_add_ui(a.re.v, a.re.v, 1, MPFR_RNDN);
    return a;
}

Cx divided(const Cx& a, const Cx& b)
{
    Cx conj = b;
    mpfr_neg(conj.im.v, conj.im.v, MPFR_RNDN);
    Cx num = a * conj;
    Real norm(a.bits()), t(a.bits());
    mpfr_sqr(norm.v, b.re.v, MPFR_RNDN);
    mpfr_sqr(t.v, b.im.v, MPFR_RNDN);
    mpfr_add(norm.v, norm.v, t.v, MPFR_RNDN);
    mpfr_div(num.re.v, num.re.v, norm.v, MPFR_RNDN);
    mpfr_div(num.im.v, num.im.v, norm.v, MPFR_RNDN);
    return num;
}

Cx power(const Cx& z, int d)
{
    Cx out = z;
    for (int i = 1; i < d; ++i) out = out * z;
    return out;
}

// The principal square root.
Cx root(const Cx& a)
{
    Real norm(a.bits()), t(a.bits());
    mpfr_hypot(norm.v, a.re.v, a.im.v, MPFR_RNDN);
    Cx out(a.bits());
    mpfr_add(t.v, norm.v, a.re.v, MPFR_RNDN);
    mpfr_div_2ui(t.v, t.v, 1, MPFR_RNDN);
    mpfr_sqrt(out.re.v, t.v, MPFR_RNDN);
    mpfr_sub(t.v, norm.v, a.re.v, MPFR_RNDN);
    mpfr_div_2ui(t.v, t.v, 1, MPFR_RNDN);
    mpfr_sqrt(out.im.v, t.v, MPFR_RNDN);
    if (mpfr_sgn(a.im.v) < 0) mpfr_neg(out.im.v, out.im.v, MPFR_RNDN);
    return out;
}

long double norm(const Cx& a) { return std::norm(a.ld()); }

BigComplex toBig(const Cx& c, int limbs)
{
    const int digits = int(64 * limbs * 0.30103) + 4;
    auto text = [&](const Real& r) {
        char* s = nullptr;
        mpfr_asprintf(&s, "%.*Rf", digits, r.v);
        std::string out(s);
        mpfr_free_str(s);
        return out;
    };
    return BigComplex(*BigFixed::fromDecimal(text(c.re), limbs), *BigFixed::fromDecimal(text(c.im), limbs));
}

// z_n and dz_n/dc of z <- z^d + c from z_0 = 0, n steps.
void orbit(int d, const Cx& c, int n, Cx& z, Cx& dz)
{
    z = Cx(c.bits());
    dz = Cx(c.bits());
    for (int i = 0; i < n; ++i) {
        dz = plusOne(scaled(power(z, d - 1), d) * dz);
        z = power(z, d) + c;
    }
}

// Newton's method on g(c) = z_{k+p} - z_k (k = 0: the nucleus, z_p = 0).
std::optional<Cx> newton(int d, Cx c, int k, int p)
{
    const long bits = c.bits();
    for (int step = 0; step < 200; ++step) {
        Cx zk(bits), dzk(bits), z(bits), dz(bits);
        orbit(d, c, k, zk, dzk);
        z = zk;
        dz = dzk;
        for (int i = 0; i < p; ++i) {
            dz = plusOne(scaled(power(z, d - 1), d) * dz);
            z = power(z, d) + c;
        }
        if (k > 0) {
            z = z - zk;
            dz = dz - dzk;
        }
        const Cx delta = divided(z, dz);
        c = c - delta;
        if (!std::isfinite(double(norm(c)))) return std::nullopt;
        if (norm(delta) < std::ldexp(1.0L, -2 * int(bits - 24))) return c;
    }
    return std::nullopt;
}

// The lowest n up to `limit` at which the linear estimate of z_n puts a root within r of c.
int ballPeriod(int d, const Cx& c, long double r, int limit)
{
    Cx z(c.bits()), dz(c.bits());
    for (int n = 1; n <= limit; ++n) {
        dz = plusOne(scaled(power(z, d - 1), d) * dz);
        z = power(z, d) + c;
        if (norm(z) < r * r * norm(dz)) return n;
        if (norm(z) > 1e6L) return 0;
    }
    return 0;
}

// The size of the copy of the set at the nucleus c of period p: 1 / |b l^(d/(d-1))| with l the
// product of the derivatives d z^(d-1) along the cycle and b the sum of their partial products'
// reciprocals (the usual estimate for d = 2, carried over to higher degrees).
long double minibrotSize(int d, const Cx& c, int p)
{
    Cx z(c.bits());
    std::complex<long double> l = 1, b = 1;
    for (int i = 1; i < p; ++i) {
        z = power(z, d) + c;
        l *= (long double)d * std::pow(z.ld(), d - 1);
        b += 1.0L / l;
    }
    return 1.0L / (std::abs(b) * std::pow(std::abs(l), (long double)d / (d - 1)));
}

// The seed at `bits`, refined by Newton's method when it names a preperiodic point.
Cx refined(int degree, const Seed& seed, long bits)
{
    Cx c = parse(seed.x, seed.y, bits);
    if (seed.preperiod == 0) return c;
    auto found = newton(degree, c, seed.preperiod, seed.period);
    if (!found) throw std::runtime_error("Newton's method found no preperiodic point");
    return *found;
}

struct Nucleus {
    BigComplex centre;
    int period = 0;
    double sizeInViews = 0; // the copy's size over the view height
};

// A nucleus near the seed whose copy is at most half the view high and the largest of those the
// search meets: bisection over the search radius, a larger radius giving a lower period and a
// larger copy.
Nucleus nucleusFor(const Places& places, const Seed& from, double zoom, int limbs)
{
    const long bits = 64 * limbs + 96;
    const Cx seed = refined(places.degree, from, bits);
    const long double height = 2.5L / zoom;
    struct Found {
        Cx c;
        int period;
        long double size;
    };
    auto attempt = [&](long double log2r) -> std::optional<Found> {
        const int p = ballPeriod(places.degree, seed, std::exp2(log2r), 20000);
        if (p == 0) return std::nullopt;
        auto c = newton(places.degree, seed, 0, p);
        if (!c) return std::nullopt;
        return Found{*c, p, minibrotSize(places.degree, *c, p)};
    };
    long double lo = std::log2(height), hi = -8;
    std::optional<Found> best = attempt(lo);
    while (!best || best->size > height / 2) {
        lo -= 4;
        if (lo < std::log2(height) - 64) throw std::runtime_error("no nucleus near the seed");
        best = attempt(lo);
    }
    for (int i = 0; i < 14; ++i) {
        const long double mid = (lo + hi) / 2;
        auto found = attempt(mid);
        if (found && found->size <= height / 2) {
            lo = mid;
            if (found->size > best->size) best = found;
        } else {
            hi = mid;
        }
    }
    return {toBig(best->c, limbs), best->period, double(best->size / height)};
}

// The fixed point (1 - sqrt(1 - 4c)) / 2 of z^2 + c.
Cx juliaFixedPoint(Complex c, long bits)
{
    Cx w(bits);
    mpfr_set_d(w.re.v, 1 - 4 * c.x, MPFR_RNDN);
    mpfr_set_d(w.im.v, -4 * c.y, MPFR_RNDN);
    Cx r = root(w);
    mpfr_ui_sub(r.re.v, 1, r.re.v, MPFR_RNDN);
    mpfr_neg(r.im.v, r.im.v, MPFR_RNDN);
    mpfr_div_2ui(r.re.v, r.re.v, 1, MPFR_RNDN);
    mpfr_div_2ui(r.im.v, r.im.v, 1, MPFR_RNDN);
    return r;
}

// A preimage of depth k of the fixed point a: -a, then k - 1 steps back on the principal root.
Cx juliaPreimage(Complex c, int k, long bits)
{
    Cx cc(bits), z = juliaFixedPoint(c, bits);
    mpfr_set_d(cc.re.v, c.x, MPFR_RNDN);
    mpfr_set_d(cc.im.v, c.y, MPFR_RNDN);
    mpfr_neg(z.re.v, z.re.v, MPFR_RNDN);
    mpfr_neg(z.im.v, z.im.v, MPFR_RNDN);
    for (int i = 1; i < k; ++i) z = root(z - cc);
    return z;
}

struct Place {
    BigComplex centre;
    int maxIterations;
    std::string note;
};

Place placeFor(const SweepView& view)
{
    const Places& places = placesOf(view.type);
    const int limbs = BigFixed::limbsForZoom(view.zoom, 64);
    const double height = 2.5 / view.zoom;
    char note[160];
    switch (view.site) {
    case Site::minibrot:
    case Site::besideMinibrot:
    case Site::dwellMinibrot: {
        Place place;
        if (view.type == FractalType::julia) {
            place = {toBig(juliaPreimage(places.juliaC, 12, 64 * limbs + 96), limbs), places.preperiodicIterations,
                     "preimage of the fixed point, depth 12"};
        } else {
            if (view.site == Site::dwellMinibrot && !places.dwellSeed)
                throw std::invalid_argument("no dwelling nucleus for this formula");
            Nucleus n = nucleusFor(places, view.site == Site::dwellMinibrot ? *places.dwellSeed : places.nucleusSeed,
                                   view.zoom, limbs);
            std::snprintf(note, sizeof note, "nucleus of period %d, copy %.3g view heights", n.period, n.sizeInViews);
            // Orbits beside the copy follow the cycle for eight turns or more before they leave.
            place = {n.centre, std::max(1000, 16 * n.period), note};
        }
        if (view.site == Site::besideMinibrot) place.centre = place.centre.offset(0, 0.2 * height);
        return place;
    }
    case Site::misiurewicz: {
        if (view.type == FractalType::julia)
            return {toBig(juliaFixedPoint(places.juliaC, 64 * limbs + 96), limbs), places.preperiodicIterations,
                    "repelling fixed point"};
        const Cx c = refined(places.degree, places.preperiodic, 64 * limbs + 96);
        std::snprintf(note, sizeof note, "preperiodic point (%d, %d)", places.preperiodic.preperiod,
                      places.preperiodic.period);
        return {toBig(c, limbs), places.preperiodicIterations, note};
    }
    case Site::publicLocation:
        return {BigComplex(*BigFixed::fromDecimal(kPublicX, limbs), *BigFixed::fromDecimal(kPublicY, limbs)),
                kPublicIterations, "MANDELBROT_30_ZOOM_ANOTHER_00"};
    }
    throw std::invalid_argument("site");
}

const char* siteText(Site site)
{
    switch (site) {
    case Site::minibrot: return "minibrot";
    case Site::besideMinibrot: return "besideMinibrot";
    case Site::misiurewicz: return "misiurewicz";
    case Site::publicLocation: return "publicLocation";
    case Site::dwellMinibrot: return "dwellMinibrot";
    }
    return "";
}

} // namespace

FractalRenderer& sweepRenderer()
{
    static FractalRenderer instance(GpuDevice::systemDefault());
    return instance;
}

PreparedView prepare(const SweepView& view)
{
    const Place place = placeFor(view);
    const Complex c = place.centre.doubles();
    return {RenderView(view.type, c.x, c.y, view.zoom, 0, place.maxIterations, placesOf(view.type).juliaC,
                       Palette::obsidian, 0, place.centre),
            place.note};
}

std::string testName(const SweepView& view)
{
    const double e = std::floor(std::log10(view.zoom) + 1e-9);
    const double m = view.zoom / std::pow(10.0, e);
    std::string zoom = (std::abs(m - 1) < 1e-6 ? "" : std::to_string(std::lround(m))) + "e" + std::to_string(int(e));
    return std::string(toText(view.type)) + "_" + siteText(view.site) + "_" + zoom +
           (view.kernel == Kernel::live ? "_live" : (view.kernel == Kernel::noTable ? "_noTable" : ""));
}

void PrintTo(const SweepView& view, std::ostream* out) { *out << testName(view); }

std::vector<SweepView> views(FractalType type, Site site, std::initializer_list<double> zooms, Kernel kernel)
{
    std::vector<SweepView> out;
    for (double zoom : zooms) out.push_back({type, site, zoom, kernel});
    return out;
}

TEST_P(DeepSweep, StablePixelsAgreeWithMpfr)
{
    const SweepView& view = GetParam();
    const PreparedView prepared = prepare(view);
    const RenderView& render = prepared.render;
    FractalRenderer& r = sweepRenderer();
    r.singlePrecisionDiagnostics = view.kernel == Kernel::live;
    r.iterationSkipping = view.kernel != Kernel::noTable;
    const oracle::Agreement a = oracle::compare(r, render, kWidth, kHeight);
    r.singlePrecisionDiagnostics = false;
    r.iterationSkipping = true;
    RecordProperty("agreement", a.summary());
    std::printf("%s (%s, limit %d): %s\n", testName(view).c_str(), prepared.note.c_str(), int(render.maxIterations),
                a.summary().c_str());
    std::fflush(stdout);
    // The view's own design: enough stable pixels, and structure.
    EXPECT_GE(a.stable * 2, a.pixels) << "view: too few stable pixels";
    EXPECT_GE(a.distinctCounts, 4) << "view: no structure";
    EXPECT_GE(a.flagShare(), 0.995) << a.summary();
    EXPECT_GE(a.countShare(), 0.99) << a.summary();
}

} // namespace veltrane::sweep
