// Fractal library: the per-pixel kernels of the fractal passes.
//
// Functions (each compiled alone, with FUNCTION_<name> defined):
//   fractalKernel     escape-time formulas, specialised by constant 0, the formula (kMandelbrot to
//                     kMultibrot4 below)
//   fractalKernelPrecise  the same in double precision, for diagnostic renders on devices with
//                     64-bit floats: escape data that matches the processor's orbits point for
//                     point, also in the chaotic regions where single precision drifts apart
//   newtonKernel      Newton's method on z^3 - 1
//   accumulateKernel  running mean of supersamples
//
// Bindings of fractalKernel and fractalKernelPrecise: push constants = the 112-byte uniform block;
// binding 0 = the target (rgba16f, written); bindings 1-6 = reference points, scaled reference
// points, approximation table entries, table levels, the reference points in pairs and the table's
// run starts, read by the perturbation modes (mode 1 and 2) only. newtonKernel binds the target
// alone; accumulateKernel its own two images (in its section).
//
// Outputs are linear light and may exceed 1; the post chain tone-maps. Pixel row 0 is the largest
// imaginary part.
#version 450

layout(local_size_x = 8, local_size_y = 8) in;

#ifdef FUNCTION_fractalKernelPrecise
#define FUNCTION_fractalKernel 1
#define real double
#define real2 dvec2
#else
#define real float
#define real2 vec2
#endif

#if defined(FUNCTION_fractalKernel) || defined(FUNCTION_newtonKernel)

layout(push_constant) uniform FractalUniforms {
  layout(offset = 0) vec2 resolution;
  layout(offset = 8) uvec2 tileOrigin;
  layout(offset = 16) uvec2 tileSize;
  layout(offset = 24) vec2 centre;
  layout(offset = 32) vec2 jitter;
  layout(offset = 40) float zoom;
  layout(offset = 44) float rotation;
  layout(offset = 48) float pixelScale;
  layout(offset = 52) float typeParameter;
  layout(offset = 56) int maxIterations;
  layout(offset = 60) int palette;
  layout(offset = 64) int mode;
  layout(offset = 68) int referenceLength;
  layout(offset = 72) vec2 juliaC;
  layout(offset = 80) vec2 juliaOffset;
  layout(offset = 88) vec2 deltaOffset;
  layout(offset = 96) int diagnostic;
  layout(offset = 100) int scaleExponent;
  layout(offset = 104) int blaLevels;
  layout(offset = 108) float colourShift;
} u;

layout(binding = 0, rgba16f) uniform writeonly image2D target;

// Escape radius squared: the same bailout as the reference orbits, large enough that the smooth
// iteration count below is continuous to well under a hundredth of a band.
const float kBailout = 65536.0;
const float kLog2Radius = 8.0;  // log2(sqrt(kBailout))

const float kTau = 6.28318530718;

// ---------------------------------------------------------------------------------------------
// Palettes, numbered in Palette's order (a test checks these two numbers against it).
const int kPaletteCount = 13;
const int kThermal = 11;

// Six colours per palette in linear light, blended cyclically with a smooth step so the bands have
// no visible seams, and a colour for the inside of the set. Bright stops exceed 1 a little: the glow
// of the post chain catches the filaments near the set. (A switch on the uniform palette index, not
// a constant array: large constant arrays make lavapipe's shader compiler take seconds.)
struct PaletteStops {
  vec3 c[6];
  vec3 inside;
};

PaletteStops paletteStops(int p) {
  PaletteStops s;
  switch (p) {
    case 0:  // obsidian: volcanic glass, black with a mint sheen
      s.c[0] = vec3(0.004, 0.006, 0.008);
      s.c[1] = vec3(0.010, 0.045, 0.050);
      s.c[2] = vec3(0.000, 0.420, 0.260);
      s.c[3] = vec3(0.550, 1.150, 0.800);
      s.c[4] = vec3(0.030, 0.180, 0.140);
      s.c[5] = vec3(0.006, 0.020, 0.024);
      s.inside = vec3(0.0, 0.0, 0.0);
      break;
    case 1:  // ember: glowing coals
      s.c[0] = vec3(0.010, 0.002, 0.001);
      s.c[1] = vec3(0.220, 0.015, 0.004);
      s.c[2] = vec3(0.900, 0.180, 0.020);
      s.c[3] = vec3(1.300, 0.650, 0.160);
      s.c[4] = vec3(0.600, 0.090, 0.010);
      s.c[5] = vec3(0.080, 0.006, 0.002);
      s.inside = vec3(0.006, 0.0, 0.0);
      break;
    case 2:  // spectrum: the rainbow, evenly spaced hues
      s.c[0] = vec3(0.900, 0.060, 0.060);
      s.c[1] = vec3(0.900, 0.700, 0.040);
      s.c[2] = vec3(0.100, 0.800, 0.080);
      s.c[3] = vec3(0.040, 0.650, 0.900);
      s.c[4] = vec3(0.120, 0.080, 0.950);
      s.c[5] = vec3(0.800, 0.060, 0.700);
      s.inside = vec3(0.0, 0.0, 0.0);
      break;
    case 3:  // aurora: green and violet curtains over a night sky
      s.c[0] = vec3(0.004, 0.010, 0.030);
      s.c[1] = vec3(0.020, 0.300, 0.140);
      s.c[2] = vec3(0.250, 1.000, 0.550);
      s.c[3] = vec3(0.050, 0.500, 0.500);
      s.c[4] = vec3(0.350, 0.080, 0.600);
      s.c[5] = vec3(0.020, 0.020, 0.080);
      s.inside = vec3(0.0, 0.004, 0.012);
      break;
    case 4:  // void: magenta light at the edge of darkness
      s.c[0] = vec3(0.000, 0.000, 0.002);
      s.c[1] = vec3(0.030, 0.000, 0.040);
      s.c[2] = vec3(0.500, 0.020, 0.400);
      s.c[3] = vec3(1.100, 0.200, 0.900);
      s.c[4] = vec3(0.150, 0.010, 0.250);
      s.c[5] = vec3(0.002, 0.000, 0.010);
      s.inside = vec3(0.0, 0.0, 0.0);
      break;
    case 5:  // ocean: from the deep to the foam
      s.c[0] = vec3(0.001, 0.008, 0.030);
      s.c[1] = vec3(0.005, 0.080, 0.250);
      s.c[2] = vec3(0.020, 0.400, 0.700);
      s.c[3] = vec3(0.500, 0.950, 1.100);
      s.c[4] = vec3(0.030, 0.280, 0.380);
      s.c[5] = vec3(0.002, 0.030, 0.100);
      s.inside = vec3(0.0, 0.004, 0.016);
      break;
    case 6:  // sunset: dusk violet, rose, orange and gold
      s.c[0] = vec3(0.030, 0.010, 0.080);
      s.c[1] = vec3(0.350, 0.030, 0.250);
      s.c[2] = vec3(1.000, 0.200, 0.120);
      s.c[3] = vec3(1.200, 0.650, 0.150);
      s.c[4] = vec3(0.500, 0.180, 0.200);
      s.c[5] = vec3(0.060, 0.030, 0.150);
      s.inside = vec3(0.012, 0.002, 0.025);
      break;
    case 7:  // forest: bark, moss and sunlit leaves
      s.c[0] = vec3(0.008, 0.010, 0.003);
      s.c[1] = vec3(0.050, 0.100, 0.015);
      s.c[2] = vec3(0.200, 0.450, 0.050);
      s.c[3] = vec3(0.700, 0.950, 0.250);
      s.c[4] = vec3(0.120, 0.220, 0.040);
      s.c[5] = vec3(0.060, 0.035, 0.010);
      s.inside = vec3(0.003, 0.008, 0.002);
      break;
    case 8:  // glacier: blue ice and snow
      s.c[0] = vec3(0.010, 0.030, 0.080);
      s.c[1] = vec3(0.100, 0.280, 0.550);
      s.c[2] = vec3(0.480, 0.750, 1.000);
      s.c[3] = vec3(1.050, 1.100, 1.150);
      s.c[4] = vec3(0.250, 0.500, 0.750);
      s.c[5] = vec3(0.030, 0.090, 0.200);
      s.inside = vec3(0.004, 0.012, 0.035);
      break;
    case 9:  // gilded: gold leaf on black lacquer
      s.c[0] = vec3(0.006, 0.004, 0.001);
      s.c[1] = vec3(0.120, 0.060, 0.012);
      s.c[2] = vec3(0.700, 0.400, 0.080);
      s.c[3] = vec3(1.250, 0.950, 0.420);
      s.c[4] = vec3(0.450, 0.250, 0.050);
      s.c[5] = vec3(0.040, 0.020, 0.004);
      s.inside = vec3(0.0, 0.0, 0.0);
      break;
    case 10:  // ink: black ink on paper
      s.c[0] = vec3(0.520, 0.510, 0.490);
      s.c[1] = vec3(0.300, 0.295, 0.290);
      s.c[2] = vec3(0.090, 0.090, 0.095);
      s.c[3] = vec3(0.006, 0.006, 0.008);
      s.c[4] = vec3(0.150, 0.150, 0.155);
      s.c[5] = vec3(0.420, 0.415, 0.400);
      s.inside = vec3(0.0, 0.0, 0.0);
      break;
    case 11:  // thermal: an infrared camera, cold to hot (mirrored, not cyclic)
      s.c[0] = vec3(0.002, 0.000, 0.030);
      s.c[1] = vec3(0.120, 0.000, 0.450);
      s.c[2] = vec3(0.700, 0.020, 0.350);
      s.c[3] = vec3(1.000, 0.250, 0.020);
      s.c[4] = vec3(1.100, 0.850, 0.100);
      s.c[5] = vec3(1.250, 1.200, 0.900);
      s.inside = vec3(0.0, 0.0, 0.0);
      break;
    case 12:  // candy: pastel sugar
      s.c[0] = vec3(1.000, 0.300, 0.550);
      s.c[1] = vec3(0.950, 0.750, 0.300);
      s.c[2] = vec3(0.400, 0.950, 0.650);
      s.c[3] = vec3(0.400, 0.700, 1.000);
      s.c[4] = vec3(0.700, 0.450, 1.000);
      s.c[5] = vec3(1.000, 0.550, 0.800);
      s.inside = vec3(0.060, 0.010, 0.060);
      break;
  }
  return s;
}

const int kStops = 6;

// The palette the uniform block names, held to the ones there are.
int paletteIndex() { return clamp(u.palette, 0, kPaletteCount - 1); }

vec3 paletteColour(PaletteStops s, int p, float t) {
  if (p == kThermal) {
    t = 1.0 - abs(fract(t * 0.5) * 2.0 - 1.0);  // thermal runs cold to hot and back
    float x = t * float(kStops - 1);
    int i = min(int(x), kStops - 2);
    return mix(s.c[i], s.c[i + 1], smoothstep(0.0, 1.0, x - float(i)));
  }
  float x = fract(t) * float(kStops);
  int i = int(x) % kStops;
  return mix(s.c[i], s.c[(i + 1) % kStops], smoothstep(0.0, 1.0, fract(x)));
}

// Position in the palette for a smooth iteration count. The square root keeps the bands of deep
// views (counts in the thousands) a few dozen iterations wide while the outer region, where counts
// change slowly, still sweeps through the palette. The far field (counts of 4 to 5 with this
// bailout) sits at the palette's start.
float paletteCoordinate(float mu) {
  return sqrt(max(mu, 0.0)) * 0.32 - 0.62 + u.colourShift;
}

// Light of the exterior: the far field fades into darkness so the filaments near the set carry the
// light.
float exteriorLight(float mu) {
  return 1.0 - exp(-max(mu - 3.6, 0.0) * 0.3);
}

// The plane offset of a pixel from the view centre, before scaling: in pixels, y up, rotated.
vec2 pixelOffset(uvec2 pixel) {
  vec2 d = (vec2(pixel) + 0.5 + u.jitter - 0.5 * u.resolution);
  d.y = -d.y;
  float c = cos(u.rotation), s = sin(u.rotation);
  return vec2(c * d.x - s * d.y, s * d.x + c * d.y);
}

// Invocations run in groups of eight on CPU devices, and a group takes as long as its slowest
// member: each group of eight takes a 4 x 2 block of its 8 x 8 tile, whose pixels iterate more
// alike than a row of eight does.
// A CPU device (lavapipe) hands each of its threads one contiguous run of work groups, and a
// dispatch lasts as long as the slowest run. So work group k takes tile 31 (k mod q) + k / q, q being
// the number of groups over 31 rounded down (the few groups past 31 q keep their own tile): a run of
// at least q groups covers every 31st tile of the whole picture, not one band of it.
uvec2 workGroupTile() {
  uint columns = gl_NumWorkGroups.x, count = columns * gl_NumWorkGroups.y;
  uint k = gl_WorkGroupID.y * columns + gl_WorkGroupID.x, q = count / 31u;
  uint tile = k < 31u * q ? (k % q) * 31u + k / q : k;
  return uvec2(tile % columns, tile / columns);
}

bool regionPixel(out uvec2 pixel) {
  uint index = gl_LocalInvocationIndex;
  uint group = index >> 3, lane = index & 7u;
  uvec2 local = workGroupTile() * 8u + uvec2((group & 1u) * 4u + (lane & 3u), (group >> 1) * 2u + (lane >> 2));
  pixel = u.tileOrigin + local;
  return all(lessThan(local, u.tileSize)) && all(lessThan(pixel, uvec2(u.resolution)));
}

// Diagnostic renders return escape data: red > 0.5 when the point escaped; alpha, green and blue
// split the smooth count so that mu = ((alpha + green) * 64 + blue) * 64, alpha a whole number,
// green a multiple of 1/64 below 1, blue in [0, 1). Each part is exact in a half float (whole
// numbers only to 2048), so counts to the iteration cap of 200,000 come back whole.
vec4 diagnosticTexel(bool escaped, float mu) {
  if (!escaped) return vec4(0.0);
  float q = max(mu, 0.0) / 64.0;
  float whole = floor(q);
  float high = floor(whole / 64.0);
  return vec4(1.0, whole / 64.0 - high, q - whole, high);
}

// The complex product, in the precision of its arguments (the precise kernel has both).
#define DEFINE_CMUL(Vec) \
  Vec cmul(Vec a, Vec b) { return Vec(a.x * b.x - a.y * b.y, a.x * b.y + a.y * b.x); }
DEFINE_CMUL(vec2)
#ifdef FUNCTION_fractalKernelPrecise
DEFINE_CMUL(dvec2)
#endif

#endif

// =============================================================================================
#ifdef FUNCTION_fractalKernel

layout(constant_id = 0) const int kFormula = 0;

// The formulas kFormula selects: FractalType's order without newton, which has a kernel of its own
// (formulaIndex on the processor side; a test checks the two agree).
const int kMandelbrot = 0;
const int kJulia = 1;
const int kBurningship = 2;
const int kTricorn = 3;
const int kCeltic = 4;
const int kBuffalo = 5;
const int kPerpendicular = 6;
const int kMultibrot3 = 7;
const int kMultibrot4 = 8;

// The perturbation inputs are storage texel buffers of two 32-bit words per texel, read with
// imageLoad (CPU devices load those inline; a sampled texel fetch is a call there, and an indexed
// storage-buffer read a loop over invocations). Byte layouts:
//   reference points: 16 bytes per point, the double value as float high parts then low parts;
//   scaled points: 48 bytes, Z and W (Z minus the orbit's start for julia, else Z) as float
//     mantissas, their exponents, R = Re Z^2 as mantissa and exponent, then the parts of Z as
//     mantissas normalised each on its own and their exponents;
//   table entries: 40 bytes, A and B mantissas, their exponents, the radius mantissa and exponent
//     (and two colouring sums the kernel does not read); after 2^L iterations from m the delta is
//     A*delta + B*dc while |delta| < R; level L entry j starts at iteration 1 + j * 2^L;
//   table levels: (first entry, count) per level as two int32.
layout(binding = 1, rg32ui) uniform readonly uimageBuffer referenceTexels;
layout(binding = 2, rg32ui) uniform readonly uimageBuffer scaledTexels;
layout(binding = 3, rg32ui) uniform readonly uimageBuffer tableTexels;
layout(binding = 4, rg32ui) uniform readonly uimageBuffer levelTexels;
// Binding 5, four words per texel: texel m holds the high parts of reference points m and m + 1,
// so that the float paths fetch once for two iterations.
layout(binding = 5, rgba32ui) uniform readonly uimageBuffer pairTexels;
// Binding 6, four words per texel: texel m describes the table runs from m, for choosing one with a
// single read. The low half of word 0 holds, as an int16, floor(4 log2 R) for the shortest run
// considered (level max(0, top - 14), top the highest level starting at m); the 14 bytes after it,
// how far below that each longer run's floor lies, in quarter bits below 192 and then in steps of 64
// rounded up (255: never valid).
layout(binding = 6, rgba32ui) uniform readonly uimageBuffer startTexels;
vec4 referencePair(int m) { return uintBitsToFloat(imageLoad(pairTexels, m)); }

#define texelFloats(b, i) uintBitsToFloat(imageLoad(b, i).xy)
#define texelInts(b, i) ivec2(imageLoad(b, i).xy)

// Reference point m, high parts (the low parts are below float precision).
vec2 referenceHigh(int m) { return texelFloats(referenceTexels, 2 * m); }
vec2 referenceLow(int m) { return texelFloats(referenceTexels, 2 * m + 1); }

struct ScaledPoint {
  vec2 z;
  vec2 w;
  int ze;
  int we;
  float rm;
  int re;
};
const int kScaledTexels = 6;  // texels per scaled point
vec2 scaledZ(int m) { return texelFloats(scaledTexels, kScaledTexels * m); }
vec2 scaledW(int m) { return texelFloats(scaledTexels, kScaledTexels * m + 1); }
ivec2 scaledExponents(int m) { return texelInts(scaledTexels, kScaledTexels * m + 2); }
ScaledPoint scaledPoint(int m) {
  ivec2 e = scaledExponents(m);
  uvec2 r = imageLoad(scaledTexels, kScaledTexels * m + 3).xy;
  return ScaledPoint(scaledZ(m), scaledW(m), e.x, e.y, uintBitsToFloat(r.x), int(r.y));
}
// The parts of Z, each with an exponent of its own (x y and y keep their size and sign where one
// part lies far below the other).
vec2 partMantissas(int m) { return texelFloats(scaledTexels, kScaledTexels * m + 4); }
ivec2 partExponents(int m) { return texelInts(scaledTexels, kScaledTexels * m + 5); }
// W as a float (0 or huge outside float range).
vec2 scaledWFloat(int m);

// A table entry's A and B (its radius is read from the run-start texels instead).
struct TableEntry {
  vec2 am;
  vec2 bm;
  int ae;
  int be;
};
TableEntry tableEntry(int i) {
  ivec2 e = texelInts(tableTexels, 5 * i + 2);
  return TableEntry(texelFloats(tableTexels, 5 * i), texelFloats(tableTexels, 5 * i + 1), e.x, e.y);
}
ivec2 tableLevel(int level) { return texelInts(levelTexels, level); }
// Level L of a table whose level 0 has n entries holds n >> L entries and starts after the levels
// before it: the sum of n >> k for k < L, which is 2 (n - (n >> L)) - popcount(n) + popcount(n >> L).
// Computed, so that a table lookup reads only the entry.
int tableLevelStart(int n, int level) {
  int rest = n >> level;
  return 2 * (n - rest) - bitCount(n) + bitCount(rest);
}
// The entry of the run of 2^level iterations from m, in a table whose level 0 has `entries` entries.
TableEntry runEntry(int entries, int level, int m) {
  return tableEntry(tableLevelStart(entries, level) + ((m - 1) >> level));
}

// One step of the formula, as the processor side computes it. `precise` keeps the compiler from
// fusing multiplies and adds, which the processor's orbits do not do either.
real2 formulaStep(real2 z, real2 c) {
  precise real x = z.x, y = z.y;
  precise real nx, ny;
  if (kFormula == kMultibrot3) {
    nx = x * (x * x - 3.0 * y * y) + c.x;
    ny = y * (3.0 * x * x - y * y) + c.y;
    return real2(nx, ny);
  }
  precise real X = x * x - y * y;
  precise real Y = 2.0 * x * y;
  if (kFormula == kMultibrot4) {
    nx = X * X - Y * Y + c.x;
    ny = 2.0 * X * Y + c.y;
    return real2(nx, ny);
  }
  if (kFormula == kBurningship) Y = 2.0 * abs(x) * abs(y);
  else if (kFormula == kTricorn) Y = -2.0 * x * y;
  else if (kFormula == kCeltic) X = abs(X);
  else if (kFormula == kBuffalo) { X = abs(X); Y = 2.0 * abs(x) * abs(y); }
  else if (kFormula == kPerpendicular) Y = -2.0 * x * abs(y);
  nx = X + c.x;
  ny = Y + c.y;
  return real2(nx, ny);
}

float formulaDegree() { return kFormula == kMultibrot3 ? 3.0 : (kFormula == kMultibrot4 ? 4.0 : 2.0); }

// ---------------------------------------------------------------------------------------------
// Deep views: every pixel is a small delta from one reference orbit. Mode 1 keeps the delta in
// plain floats (zooms up to 1e30); mode 2 keeps it as w * 2^S with |w| near 1, so deltas far below
// float range keep their precision.
//
// One reference serves the whole view and may be a substitute or an orbit that escaped early, so
// every pixel rebases: when its full value relative to the orbit's start becomes smaller than its
// delta, or when the reference runs out, it restarts at the orbit's start with that full value.

const float kTiny = 8.0e-28;  // about 2^-90: below it a reference value is taken in scaled form
// Deltas w 2^S with S at least this lie in float range with room for their squares.
const int kFloatExponent = -60;

// 2^e for e in [-126, 127], and 0 for e = -127, built from its bits (ldexp and frexp are slow on CPU
// devices).
float pow2i(int e) { return intBitsToFloat((e + 127) << 23); }

// m * 2^e without overflow and without branches (a CPU device runs both sides of a branch whose
// members disagree), for m a mantissa or other value of moderate size: exponents above the float
// range saturate at 2^120 times m, those below it give 0 (the product would be subnormal, which the
// device flushes, or far below anything it is added to). One multiply: this runs some twenty times
// in every scaled step.
float scaleBy(float m, int e) { return m * pow2i(clamp(e, -127, 120)); }
vec2 scaleBy(vec2 m, int e) { return m * pow2i(clamp(e, -127, 120)); }

vec2 scaledWFloat(int m) { return scaleBy(scaledW(m), scaledExponents(m).y); }

// |c + d| - |c| without forming c + d where it would cancel, in the precision of its arguments.
#define DEFINE_DIFFABS(Real)                                  \
  Real diffabs(Real c, Real d) {                              \
    Real cd = c + d;                                          \
    if (c >= 0.0) return cd >= 0.0 ? d : -(2.0 * c + d);      \
    return cd > 0.0 ? 2.0 * c + d : -d;                       \
  }
DEFINE_DIFFABS(float)
#ifdef FUNCTION_fractalKernelPrecise
DEFINE_DIFFABS(double)
#endif

// a b + al b for a reference point a and a correction al of the size of its low part (the rest of
// its double value). A point rounded to float alone is off by the same fraction at every iteration,
// and that adds up over the hundreds of iterations an orbit can stay at a repelling fixed point near
// a copy of the set. al b lies below half an ulp of a b: added to the rounded product it would be
// lost every time (CPU devices need not fuse fma). So b is split into its high 12 bits and the rest,
// and the sum a bh + (a bl + al b) rounds once with al b inside it.
vec2 cmulSplit(vec2 a, vec2 al, vec2 b) {
  precise vec2 t = 4097.0 * b;
  precise vec2 bh = t - (t - b);
  precise vec2 bl = b - bh;
  return cmul(a, bh) + (cmul(a, bl) + cmul(al, b));
}

// The rescaled step of the higher degrees: the term linear in w, k Z^(k-1) w, as products with w
// (whose rounding changes from iteration to iteration, unlike that of a power of Z) and with Z's low
// part Zl: (Z + Zl)^(k-1) w = Z^(k-1) w + (k-1) Zl Z^(k-2) w to float precision (cmulSplit). The
// terms of higher order in w as they are.
vec2 higherDegreeStep(int m, vec2 Z, vec2 w, vec2 ws) {
  if (kFormula == kMultibrot3) {
    vec2 linear = 3.0 * cmulSplit(Z, 2.0 * referenceLow(m), cmul(Z, w));
    return linear + cmul(w, cmul(3.0 * Z + ws, ws));
  }
  vec2 linear = 4.0 * cmulSplit(Z, 3.0 * referenceLow(m), cmul(Z, cmul(Z, w)));
  return linear + cmul(w, cmul(ws, 6.0 * cmul(Z, Z) + cmul(ws, 4.0 * Z + ws)));
}
#ifdef FUNCTION_fractalKernelPrecise
// The double-precision kernel has no rescaled path; this only lets the shared step compile there.
dvec2 higherDegreeStep(int m, dvec2 Z, dvec2 w, dvec2 ws) { return dvec2(0.0); }
#endif

// Below these sizes of the reference point a step is taken in scaled form (exactStep): Z^(k-1) dz,
// the term of a degree-k formula that carries the delta, would leave float range in units of the
// delta, and the pixel offset, which flushes to 0 in those units once it lies 2^126 below the delta,
// could matter next to it. Above them the offset is at most 2^-36 of that term where it flushes.
float tinyReference() {
  return kFormula == kMultibrot3 ? 2.8421709e-14 : (kFormula == kMultibrot4 ? 9.3132257e-10 : kTiny);
}

// One perturbed step in units of s: w' = (f(Z + w s) - f(Z)) / s + d, given ws = w s, for a reference
// point Z of at least tinyReference(). The rescaled path keeps the delta as w 2^S with s = 2^S as a
// float (it may underflow to 0, which only drops terms far below float precision) and takes the
// folds' X*Y and Y (and Re Z^2, stored so) from the parts of Z at their own exponents (`parts`), since
// one part may lie far below float range; the plain paths pass ws = w, S = 0 and Z as it stands, in
// the kernel's own precision (double in the precise kernel, where the reference point carries its low
// part too).
#define DEFINE_PERTURB_STEP(Real, Vec)                                                          \
  Vec perturbStep(int m, Vec Z, Vec w, Vec ws, Vec d, int S, bool parts) {                   \
    if (kFormula == kMandelbrot || kFormula == kJulia) return cmul(2.0 * Z + ws, w) + d;      \
    if (kFormula == kTricorn) {                                                               \
      Vec t = cmul(2.0 * Z + ws, w);                                                          \
      return Vec(t.x, -t.y) + d;                                                              \
    }                                                                                         \
    if (parts && (kFormula == kMultibrot3 || kFormula == kMultibrot4))                        \
      return higherDegreeStep(m, Z, w, ws) + d;                                               \
    if (kFormula == kMultibrot3) return cmul(w, 3.0 * cmul(Z, Z) + cmul(3.0 * Z + ws, ws)) + d; \
    if (kFormula == kMultibrot4) {                                                            \
      Vec Z2 = cmul(Z, Z);                                                                    \
      return cmul(w, 4.0 * cmul(Z2, Z) + cmul(ws, 6.0 * Z2 + cmul(ws, 4.0 * Z + ws))) + d;    \
    }                                                                                         \
    Real X = Z.x, Y = Z.y;                                                                    \
    /* Real part of the quadratic difference, and the cross term x*y - X*Y, both in units of s */ \
    Real re2 = (2.0 * X + ws.x) * w.x - (2.0 * Y + ws.y) * w.y;                               \
    Real cross = X * w.y + Y * w.x + ws.x * w.y;                                              \
    Real xy = X * Y, y = Y; /* X*Y and Y in units of s */                                     \
    if (parts) {                                                                              \
      vec2 pm = partMantissas(m);                                                             \
      ivec2 pe = partExponents(m);                                                            \
      xy = scaleBy(pm.x * pm.y, pe.x + pe.y - S);                                             \
      y = scaleBy(pm.y, pe.y - S);                                                            \
    }                                                                                         \
    if (kFormula == kBurningship) return Vec(re2, 2.0 * diffabs(xy, cross)) + d;              \
    if (kFormula == kCeltic || kFormula == kBuffalo) {                                        \
      ScaledPoint p = scaledPoint(m);                                                         \
      Real R = scaleBy(p.rm, p.re - S);                                                       \
      Real im = kFormula == kCeltic ? 2.0 * cross : 2.0 * diffabs(xy, cross);                 \
      return Vec(diffabs(R, re2), im) + d;                                                    \
    }                                                                                         \
    /* perpendicular: y' = cy - 2 x |y|; x|y| - X|Y| = X (|Y + dy| - |Y|) + dx |Y + dy| */     \
    return Vec(re2, -2.0 * (X * diffabs(y, w.y) + w.x * abs(Y + ws.y))) + d;                  \
  }
DEFINE_PERTURB_STEP(float, vec2)
#ifdef FUNCTION_fractalKernelPrecise
DEFINE_PERTURB_STEP(double, dvec2)
#endif

// A value m * 2^e in scaled form, for sums of terms whose sizes lie far apart; a zero mantissa takes
// an exponent far below every other (kNoTerm), so that it never decides a sum's unit.
struct Scaled {
  vec2 m;
  int e;
};
const int kNoTerm = -(1 << 28);
Scaled scaled(vec2 m, int e) { return Scaled(m, m == vec2(0.0) ? kNoTerm : e); }
Scaled scaled(float m, int e) { return scaled(vec2(m, 0.0), e); }
// a + b in the unit of the larger; what lies 2^127 below it drops out.
Scaled add(Scaled a, Scaled b) {
  int e = max(a.e, b.e);
  return Scaled(scaleBy(a.m, a.e - e) + scaleBy(b.m, b.e - e), e);
}
Scaled add(Scaled a, Scaled b, Scaled c) { return add(add(a, b), c); }
Scaled add(Scaled a, Scaled b, Scaled c, Scaled d) { return add(add(a, b), add(c, d)); }
Scaled negate(Scaled a) { return Scaled(-a.m, a.e); }
// The x of a and the x of b as one complex value, in the unit of the larger.
Scaled join(Scaled re, Scaled im) {
  int e = max(re.e, im.e);
  return Scaled(vec2(scaleBy(re.m.x, re.e - e), scaleBy(im.m.x, im.e - e)), e);
}
// |c + d| - |c| for two real values, in d's unit (c saturates there when far larger, which keeps
// its sign and so the answer, +-d).
Scaled diffabs(Scaled c, Scaled d) { return scaled(diffabs(scaleBy(c.m.x, c.e - d.e), d.m.x), d.e); }

// One perturbed step in scaled form, every term at its own exponent: the new delta
// f(Z + dz) - f(Z) + dc for the delta dz = w 2^S, Z from the scaled point m and dc = dcM 2^E. For
// reference points below tinyReference(), where the terms of one step lie more than float range
// apart: Z dz far below dz^2 right after a rebase onto the orbit's start, or dc far above both.
Scaled exactStep(int m, vec2 w, int S, vec2 dcM, int E) {
  bool julia = kFormula == kJulia;
  Scaled dc = julia ? Scaled(vec2(0.0), kNoTerm) : scaled(dcM, E);
  vec2 zm = scaledZ(m);
  int ze = scaledExponents(m).x;
  vec2 w2 = cmul(w, w);
  if (kFormula == kMandelbrot || kFormula == kJulia || kFormula == kTricorn) {
    // 2 Z dz + dz^2, conjugated for tricorn
    Scaled q = add(scaled(2.0 * cmul(zm, w), ze + S), scaled(w2, 2 * S));
    if (kFormula == kTricorn) q.m.y = -q.m.y;
    return add(q, dc);
  }
  if (kFormula == kMultibrot3) {
    // 3 Z^2 dz + 3 Z dz^2 + dz^3
    return add(scaled(3.0 * cmul(cmul(zm, zm), w), 2 * ze + S), scaled(3.0 * cmul(zm, w2), ze + 2 * S),
               scaled(cmul(w2, w), 3 * S), dc);
  }
  if (kFormula == kMultibrot4) {
    // 4 Z^3 dz + 6 Z^2 dz^2 + 4 Z dz^3 + dz^4
    vec2 z2 = cmul(zm, zm);
    Scaled low = add(scaled(4.0 * cmul(cmul(z2, zm), w), 3 * ze + S), scaled(6.0 * cmul(z2, w2), 2 * ze + 2 * S));
    Scaled high = add(scaled(4.0 * cmul(zm, cmul(w2, w)), ze + 3 * S), scaled(cmul(w2, w2), 4 * S));
    return add(low, high, dc);
  }
  // The folds, part by part: X and Y at their own exponents.
  vec2 pm = partMantissas(m);
  ivec2 pe = partExponents(m);
  Scaled dcx = scaled(dc.m.x, dc.e), dcy = scaled(dc.m.y, dc.e);
  // x^2 - y^2 - (X^2 - Y^2) = 2 X dx - 2 Y dy + dx^2 - dy^2
  Scaled re2 = add(scaled(2.0 * pm.x * w.x, pe.x + S), scaled(-2.0 * pm.y * w.y, pe.y + S),
                   scaled(w.x * w.x - w.y * w.y, 2 * S));
  // x y - X Y = X dy + Y dx + dx dy
  Scaled cross = add(scaled(pm.x * w.y, pe.x + S), scaled(pm.y * w.x, pe.y + S), scaled(w.x * w.y, 2 * S));
  Scaled xy = scaled(pm.x * pm.y, pe.x + pe.y);
  Scaled re, im;
  if (kFormula == kPerpendicular) {
    // perpendicular: y' = cy - 2 x |y|; x|y| - X|Y| = X (|Y + dy| - |Y|) + dx |Y + dy|
    Scaled Y = scaled(pm.y, pe.y), dy = scaled(w.y, S);
    Scaled dAbsY = diffabs(Y, dy);
    Scaled absY = add(Y, dy);
    absY.m = abs(absY.m);
    re = re2;
    im = negate(add(scaled(2.0 * pm.x * dAbsY.m.x, pe.x + dAbsY.e), scaled(2.0 * w.x * absY.m.x, S + absY.e)));
  } else {
    if (kFormula == kBurningship) {
      re = re2;
    } else {
      ScaledPoint p = scaledPoint(m);
      re = diffabs(scaled(p.rm, p.re), re2);
    }
    im = kFormula == kCeltic ? cross : diffabs(xy, cross);
    im.m *= 2.0;
  }
  return join(add(re, dcx), add(im, dcy));
}

struct DeepResult {
  int n;
  float r2;
  bool escaped;
};

// The state of one pixel on the rescaled path: its delta w * 2^S, the reference index m and the
// iteration count n. The pixel offset stays at its own exponent (dcM 2^E, the uniform block's unit):
// in the delta's unit it would flush to 0 wherever the delta lies 2^126 above it, and right after a
// rebase onto the orbit's start it can still be the larger term.
struct DeepState {
  vec2 w;
  int S;
  float s;
  int m;
  int n;
  float r2;
  bool escaped;
  bool done;
  bool plain;  // the delta is within float range and no table run applied: the float phase may go on
};

// lavapipe ends an invocation's loops after 65535 trips in all (nested and successive loops
// together), so the deep paths take two plain iterations per trip and keep inner loops off the
// common path: orbits of up to 131070 iterations fit. The rescaled path's scaled steps take one
// trip each, but they are few: table runs, and iterations while the delta lies below float range.
#define DEEP_ONCE(call) if (!st.done) call;

// Mode 1 runs in the kernel's own precision (double in the precise diagnostic kernel, where the
// reference point carries its low part too; float otherwise).
real2 referenceZ(int m) {
#ifdef FUNCTION_fractalKernelPrecise
  return real2(referenceHigh(m)) + real2(referenceLow(m));
#else
  return referenceHigh(m);  // the low part is below float precision
#endif
}

// One perturbed iteration of the float paths (mode 1, and the rescaled path's float phase), inline
// in a loop, on the locals w (delta), d (pixel offset), m, n and the loop's constants julia, last,
// maxN, Z0: escape, the iteration limit, the rebase onto the orbit's start, then `step`. Breaks out
// when the pixel is done, and when `leave` holds (it may read `full` and `rebase`), with the state
// at this iteration. Whether and how it escaped is worked out again after the loop from m and w:
// every value the loop carries costs a masked store per iteration on a CPU device, and every break
// a mask update.
#define PERTURBED_ITERATION(Vec, referenceAtM, leave, step)                                     \
  {                                                                                           \
    Vec Z = referenceAtM;                                                                     \
    Vec z = Z + w;                                                                            \
    if (dot(z, z) > kBailout || n >= maxN) break;                                             \
    Vec full = julia ? Vec(scaledWFloat(m)) + w : z;                                          \
    bool rebase = m >= last || dot(full, full) < dot(w, w);                                   \
    if (leave) break;                                                                         \
    if (rebase) {                                                                             \
      w = full;                                                                               \
      m = 0;                                                                                  \
      Z = Z0;                                                                                 \
    }                                                                                         \
    w = step;                                                                                 \
    m++;                                                                                      \
    n++;                                                                                      \
  }

DeepResult perturbationPath(vec2 dc) {
  bool julia = kFormula == kJulia;
  real2 w = julia ? real2(dc) : real2(0.0);
  real2 d = julia ? real2(0.0) : real2(dc);
  int m = 0, n = 0;
  int last = max(u.referenceLength, 1) - 1;
  int maxN = u.maxIterations;
  real2 Z0 = referenceZ(0);
#ifdef FUNCTION_fractalKernelPrecise
  for (;;) {
    PERTURBED_ITERATION(real2, referenceZ(m), false, perturbStep(m, Z, w, w, d, 0, false))
    PERTURBED_ITERATION(real2, referenceZ(m), false, perturbStep(m, Z, w, w, d, 0, false))
  }
#else
  // Two iterations per trip from one fetch of a pair of points (point 1 follows a rebase in the
  // first iteration; otherwise the pair's second point).
  vec2 Z1 = referenceHigh(1);
  for (;;) {
    vec4 pair = referencePair(m);
    PERTURBED_ITERATION(vec2, pair.xy, false, perturbStep(m, Z, w, w, d, 0, false))
    PERTURBED_ITERATION(vec2, m == 1 ? Z1 : pair.zw, false, perturbStep(m, Z, w, w, d, 0, false))
  }
#endif
  real2 z = referenceZ(m) + w;
  real r2 = dot(z, z);
  return DeepResult(n, float(r2), r2 > kBailout);
}

float unitScale(int S) { return scaleBy(1.0, S); }

// k with max|w| = f * 2^k, f in [0.5, 1), read from the exponent bits; 0 for 0 (or a subnormal,
// which the device flushes), inf and nan. No branches: a CPU device runs both sides of one whose
// members disagree.
int unitExponent(vec2 w) {
  int bits = (floatBitsToInt(max(abs(w.x), abs(w.y))) >> 23) & 255;
  return bits == 0 || bits == 255 ? 0 : bits - 126;
}

// Brings w back near 1 (|w| in [0.5, 1)), moving the exponent into S; 0, inf and nan leave the state
// as it is.
void renormalise(inout DeepState st) {
  int k = unitExponent(st.w);
  st.w = scaleBy(st.w, -k);
  st.S += k;
  st.s = unitScale(st.S);
}

// (a, ae) + (b, be) for two scaled values, in the larger unit unless one is negligible.
void addScaled(vec2 a, int ae, vec2 b, int be, out vec2 sum, out int e) {
  bool aZero = a == vec2(0.0), bZero = b == vec2(0.0);
  bool onlyB = aZero || (!bZero && be - ae > 60);
  bool onlyA = !onlyB && (bZero || ae - be > 60);
  int top = max(ae, be);
  vec2 both = scaleBy(a, ae - top) + scaleBy(b, be - top);
  sum = onlyB ? b : (onlyA ? a : both);
  e = onlyB ? be : (onlyA ? ae : top);
}

// The shortest table run taken while the delta lies in float range, as a level (2^4 = 16 iterations):
// a run costs several plain iterations of the float phase, and the float phase tries runs every
// 2^kFloatRun iterations. Runs of 8 and of 32 measured slower.
const int kFloatRun = 4;

// The longest table run from m that is valid for the delta |w| 2^S, as a level no lower than
// `lowest`, or -1. Runs of 2^L start where m - 1 is a multiple of 2^L, and at one start a longer
// run's radius never exceeds a shorter one's, so the valid levels are 0 up to some L: the 15 longest
// candidates are counted off the run-start texel of m, which holds their radii as quarter bits
// rounded down. The delta's size is rounded up, so a run is only ever refused near its radius, never
// taken beyond it. Fixed work in scalar integer steps, no branches and no loop (CPU devices run both
// sides of a branch whose members disagree, and a loop's trips count against lavapipe's limit on
// loop trips).
int tableLevelFor(int m, int n, int S, vec2 w, int lowest) {
  int top = m == 1 ? u.blaLevels - 1 : min(findLSB(m - 1), u.blaLevels - 1);
  int base = max(0, top - 14);
  uvec4 r = imageLoad(startTexels, max(m, 0));
  int shortest = int(r.x << 16) >> 16;
  // 4 log2 of the delta rounded up, as BLATable::deltaQuarterBits (ceil(4 log2 |delta| + 0.01), the
  // 0.01 being room for the rounding of |w|^2), from the bits of |w|^2 = f 2^e, f in [1, 2):
  // 2 log2 f + 0.01 stays within 1 below f = 1.4093 and within 2 below f = 1.9930 (both a hair
  // below the exact bounds, so never less than that). Anything below the int16 range counts as its
  // floor.
  int bits = floatBitsToInt(max(dot(w, w), 1e-30));
  int mantissa = bits & 0x7FFFFF;
  int halfBits = 2 * ((bits >> 23) - 127) + (mantissa < 0x3463F1 ? 1 : (mantissa < 0x7F1A9F ? 2 : 3));
  int t = max(4 * max(S, -9000) + halfBits, -32767);
  int room = shortest - t;
  // A longer run is valid when its drop lies below `room`: when its byte lies below room's own code
  // c, rounded up. The bytes at or above c are counted four to a word, two in each 16-bit half:
  // b + 256 - c reaches bit 8 exactly when b >= c. 255 (never valid) always counts there, and so
  // do the int16's own two bytes, read as 255.
  uint c = uint(clamp(room <= 192 ? room : 192 + (room - 192 + 63) / 64, 0, 255));
  uvec4 drops = uvec4(r.x | 0xFFFFu, r.yzw);
  uvec4 k = uvec4((256u - c) * 0x10001u);
  uvec4 even = ((drops & 0xFF00FFu) + k) & 0x1000100u;
  uvec4 odd = (((drops >> 8u) & 0xFF00FFu) + k) & 0x1000100u;
  uvec4 atLeast = (even + odd) >> 8u;
  uint sum = atLeast.x + atLeast.y + atLeast.z + atLeast.w;
  int valid = (room > 0 ? 1 : 0) + 16 - int((sum & 0xFFFFu) + (sum >> 16u));
  // No run may carry the count past the iteration limit.
  int level = min(base + valid - 1, findMSB(u.maxIterations - n));
  return m >= 1 && valid > 0 && level >= max(lowest, base) ? level : -1;
}

// The rescaled path: the delta is w * 2^S with |w| near 1, s = 2^S as a float (0 far below float
// range), the pixel offset dcM 2^E. One perturbed iteration with escape and rebase (table runs are
// taken in tableRuns, between these steps).
void rescaledStep(inout DeepState st, vec2 dcM, vec2 Z0) {
  bool julia = kFormula == kJulia;
  int E = u.scaleExponent;
  int last = max(u.referenceLength, 1) - 1;
  // Z from its scaled form: a tiny Z needs that form anyway, and it saves reading the float point.
  vec2 zm = scaledZ(st.m);
  int ze = scaledExponents(st.m).x;
  vec2 Z = scaleBy(zm, ze);
  vec2 dzf = st.w * st.s;
  vec2 z = Z + dzf;
  st.r2 = dot(z, z);
  if (st.r2 > kBailout) {
    st.escaped = true;
    st.done = true;
    return;
  }
  if (st.n >= u.maxIterations) {
    st.done = true;
    return;
  }

  bool exhausted = st.m >= last;
  // Rebase onto the orbit's start when the full value (W + dz, where W is Z for every type but
  // julia, whose orbit starts elsewhere) is smaller than the delta, or when the orbit ran out. Sizes
  // are compared in units of the delta, where nothing underflows. |Z + dz| < |dz| needs
  // |Z| < 2 |dz|: far from that, nothing more is read. A reference point that is merely tiny is
  // no reason to rebase: where the delta lies far below it, the full value would round the pixel
  // away, and exactStep takes the step with Z at its own size instead.
  vec2 Zw = scaleBy(zm, ze - st.S);
  if (julia || exhausted || dot(Zw, Zw) < 4.0 * dot(st.w, st.w)) {
    vec2 fm;
    int fe;
    if (julia) {
      ScaledPoint p = scaledPoint(st.m);
      addScaled(p.w, p.we, st.w, st.S, fm, fe);
    } else {
      addScaled(zm, ze, st.w, st.S, fm, fe);
    }
    vec2 fs = scaleBy(fm, fe - st.S);
    if (exhausted || dot(fs, fs) < dot(st.w, st.w)) {
      st.w = fm;
      st.S = fe;
      st.m = 0;
      st.s = unitScale(st.S);
      renormalise(st);
      Z = Z0;
    }
  }

  if (max(abs(Z.x), abs(Z.y)) < tinyReference()) {
    Scaled next = exactStep(st.m, st.w, st.S, dcM, E);
    st.w = next.m;
    st.S = next.m == vec2(0.0) ? st.S : next.e;
    st.s = unitScale(st.S);
  } else {
    // Where the offset flushes to 0 in the delta's unit it lies below 2^-36 of the step's own
    // change (see tinyReference).
    vec2 d = julia ? vec2(0.0) : scaleBy(dcM, E - st.S);
    st.w = perturbStep(st.m, Z, st.w, st.w * st.s, d, st.S, true);
  }
  st.m++;
  st.n++;
  renormalise(st);
  st.plain = st.S >= kFloatExponent;
}

// Table runs from the state as it stands (mandelbrot and julia), as long as one is valid. A valid run
// keeps the delta below 2^-24 |Z| all along it, so the pixel neither escapes nor needs a rebase on
// the way, and no point of the orbit is read: a loop of its own, whose trips cost about half a
// rescaledStep, and whose reads wait only on the table. Ends at the first point where no run of at
// least 2^kFloatRun iterations (in float range) or of any length (below it) applies.
void tableRuns(inout DeepState st, vec2 dcM, int entries) {
  bool julia = kFormula == kJulia;
  for (;;) {
    int lowest = st.S >= kFloatExponent ? kFloatRun : 0;
    int level = tableLevelFor(st.m, st.n, st.S, st.w, lowest);
    if (level < 0) break;
    // dz' = A dz + B dc over 2^level iterations, each product at its own exponent.
    TableEntry e = runEntry(entries, level, st.m);
    vec2 sum;
    int se;
    if (julia) {
      sum = cmul(e.am, st.w);
      se = e.ae + st.S;
    } else {
      addScaled(cmul(e.am, st.w), e.ae + st.S, cmul(e.bm, dcM), e.be + u.scaleExponent, sum, se);
    }
    st.w = sum;
    st.S = se;
    st.m += 1 << level;
    st.n += 1 << level;
    renormalise(st);
  }
}

// The float phase of the rescaled path with a table: while the delta lies in float range with room
// for its square (S >= kFloatExponent), plain perturbed iterations as in mode 1, up to two per loop
// trip from one fetch of a pair of points, and table runs of at least 2^kFloatRun iterations where
// one is valid (FLOAT_TABLE_RUNS), tried at the top of a trip. Runs start from an odd m (m - 1 a
// multiple of their length), so the second iteration of a trip is taken only from an even m: every
// trip then starts from an odd one (after the first, which may start anywhere), and a rebase in the
// first iteration, to m = 1, ends its trip there. Breaks out, with the state at the iteration it
// cannot take, when |Z| |dz| falls below kProductFloor (where 2 Z dz, or dz^2 with Z as small as dz,
// would underflow and the pixel lose its delta, and where a rebase could be due with |dz|^2 below
// float range), and when a rebase is due onto a full value below the plain floor (whose square would
// underflow, or leave the pixel offset's lost bits in sight): the scaled step then rebases it in
// scaled form. |Z|^2 |dz|^2 is compared as
// (|Z|^2 2^100) |dz|^2 against 2^-100, which cannot overflow, and underflows only below the floor.
const float kProductFloor = 7.8886091e-31;  // 2^-100
const float kPlainFloor = 2.1684043e-19;    // 2^-62
// With part of the pixel offset flushed (up to 2^-126, a component below float range), a rebased
// delta must be at least this, so that its square, 2^-100 or more, leaves that loss below rounding.
const float kPlainFloorFlushed = 8.8817842e-16;  // 2^-50
const float kSmallestNormal = 1.1754944e-38;     // 2^-126
const float kRunFloor = 7.7037198e-34;      // 2^-110
#define FLOAT_PHASE_LEAVE                                                                      \
  (dot(Z, Z) * 1.2676506e30 * dot(w, w) < kProductFloor ||                                     \
   (rebase && max(abs(full.x), abs(full.y)) < plainFloor))

// Table runs from inside the float phase, as long as one of at least 2^kFloatRun iterations is valid:
// tried where m - 1 is a multiple of 2^kFloatRun and the delta lies below 2^-28 |Z| (no run is valid
// above 2^-24 |Z|, and runs of 16 or more seldom are between the two: searching there measured
// slower). Z is the reference point m; `reread` loads it again after the runs. Runs keep the delta
// in float range: one that would take it below kRunFloor is left to the float iterations (and, past
// the product floor, to the scaled steps). A CPU device skips the block for a group when none of its
// members tries a run, so a member that takes runs holds up the others only for its runs, where
// parking it until the whole group left the float phase held it up for as long as the slowest member
// stayed there.
#define FLOAT_TABLE_RUNS(Z, reread)                                                            \
  if (((m - 1) & ((1 << kFloatRun) - 1)) == 0 && dot(w, w) < dot(Z, Z) * 1.3877788e-17) {      \
    for (;;) {                                                                                \
      /* the delta as a mantissa near 1 and an exponent, for the run search */                \
      int k = unitExponent(w);                                                                \
      vec2 unit = scaleBy(w, -k);                                                             \
      int level = tableLevelFor(m, n, k, unit, kFloatRun);                                    \
      if (level < 0) break;                                                                   \
      TableEntry e = runEntry(entries, level, m);                                              \
      vec2 next = scaleBy(cmul(e.am, unit), e.ae + k);                                        \
      if (!julia) next += scaleBy(cmul(e.bm, dcM), e.be + u.scaleExponent);                   \
      if (max(abs(next.x), abs(next.y)) < kRunFloor) break;                                   \
      w = next;                                                                               \
      m += 1 << level;                                                                        \
      n += 1 << level;                                                                        \
    }                                                                                         \
    reread;                                                                                   \
  }

void floatPhase(inout DeepState st, vec2 dcM, vec2 Z0, int entries) {
  bool julia = kFormula == kJulia;
  int last = max(u.referenceLength, 1) - 1;
  int maxN = u.maxIterations;
  // Far below float range the pixel offset flushes to 0, where it is negligible next to 2 Z dz above
  // the product floor, and next to the square of a rebased delta above the plain floor.
  vec2 d = julia ? vec2(0.0) : scaleBy(dcM, u.scaleExponent);
  bool flushed = (dcM.x != 0.0 && abs(d.x) < kSmallestNormal) || (dcM.y != 0.0 && abs(d.y) < kSmallestNormal);
  float plainFloor = !julia && flushed ? kPlainFloorFlushed : kPlainFloor;
  vec2 w = scaleBy(st.w, st.S);
  int m = st.m, n = st.n;
  for (;;) {
    vec4 pair = referencePair(m);
    FLOAT_TABLE_RUNS(pair.xy, pair = referencePair(m))
    PERTURBED_ITERATION(vec2, pair.xy, FLOAT_PHASE_LEAVE, cmul(2.0 * Z + w, w) + d)
    if ((m & 1) == 0) PERTURBED_ITERATION(vec2, pair.zw, FLOAT_PHASE_LEAVE, cmul(2.0 * Z + w, w) + d)
  }
  vec2 z = referencePair(m).xy + w;
  st.m = m;
  st.n = n;
  st.r2 = dot(z, z);
  st.escaped = st.r2 > kBailout;
  st.done = st.escaped || n >= maxN;
  st.w = w;
  st.S = 0;
  st.s = 1.0;
  renormalise(st);
}

DeepResult rescaledPath(vec2 dcM) {
  bool julia = kFormula == kJulia;
  bool table = u.blaLevels > 0 && (kFormula == kMandelbrot || kFormula == kJulia);
  DeepState st = DeepState(julia ? dcM : vec2(0.0), u.scaleExponent, 0.0, 0, 0, 0.0, false, false, false);
  st.s = unitScale(st.S);
  renormalise(st);
  vec2 Z0 = referenceHigh(0);
  if (!table) {
    while (!st.done) {
      DEEP_ONCE(rescaledStep(st, dcM, Z0)) DEEP_ONCE(rescaledStep(st, dcM, Z0))
    }
    return DeepResult(st.n, st.r2, st.escaped);
  }
  // Table runs while one applies, single scaled iterations while the delta lies below float range,
  // the float phase in between.
  int entries = tableLevel(0).y;
  while (!st.done) {
    st.plain = false;
    while (!st.done && !st.plain) {
      tableRuns(st, dcM, entries);
      rescaledStep(st, dcM, Z0);
    }
    if (!st.done) floatPhase(st, dcM, Z0, entries);
  }
  return DeepResult(st.n, st.r2, st.escaped);
}

// The texel of an escape-time pixel from its iteration count n and |z|^2 where it stopped: the smooth
// count (continuous across bands, in [n, n + 1) for orbits that leave the bailout radius from within
// it), then its diagnostic encoding or its colour.
vec4 escapeTexel(bool escaped, int n, float r2) {
  float mu = 0.0;
  if (escaped) {
    float ratio = 0.5 * log2(r2) / kLog2Radius;
    mu = max(float(n) + 1.0 - log2(max(ratio, 1.0)) / log2(formulaDegree()), 0.0);
  }
  if (u.diagnostic != 0) return diagnosticTexel(escaped, mu);
  int p = paletteIndex();
  PaletteStops stops = paletteStops(p);
  vec3 colour = escaped ? paletteColour(stops, p, paletteCoordinate(mu)) * exteriorLight(mu) : stops.inside;
  return vec4(colour, 1.0);
}

// One direct iteration with Brent's cycle check, inline in the loop of main: breaks out when the
// orbit comes back to within a few ulps of the point saved last.
#define DIRECT_ITERATION                                                                      \
  {                                                                                           \
    z = formulaStep(z, c);                                                                    \
    r2 = dot(z, z);                                                                           \
    n++;                                                                                      \
    real2 d = z - saved;                                                                      \
    if (dot(d, d) < 1e-13) {                                                                  \
      captured = true;                                                                        \
      break;                                                                                  \
    }                                                                                         \
    if (++steps == window) {                                                                  \
      steps = 0;                                                                              \
      window *= 2;                                                                            \
      saved = z;                                                                              \
    }                                                                                         \
  }

void main() {
  uvec2 pixel;
  if (!regionPixel(pixel)) return;

  if (u.mode != 0) {
    // The pixel's offset from the orbit's start: (pixel - view centre) - (orbit start - view centre).
    vec2 dc = pixelOffset(pixel) * u.pixelScale - u.deltaOffset;
    DeepResult deep = u.mode == 1 ? perturbationPath(dc) : rescaledPath(dc);
    imageStore(target, ivec2(pixel), escapeTexel(deep.escaped, deep.n, deep.r2));
    return;
  }

  precise real2 point = real2(u.centre) + real2(pixelOffset(pixel)) * real(u.pixelScale);
  real2 z, c;
  if (kFormula == kJulia) {
    z = point;
    c = real2(u.juliaC) + real2(u.juliaOffset);
  } else {
    z = real2(0.0);
    c = point;
  }

  // Direct iteration; single precision holds up to zooms of a few thousand, double precision
  // (diagnostics) to about 1e13.
  int n = 0;
  real r2 = dot(z, z);
  bool captured = false;
  if (kFormula == kMandelbrot) {
    // The main cardioid and the period-2 bulb never escape: no need to iterate them.
    real xq = point.x - 0.25;
    real q = xq * xq + point.y * point.y;
    captured = q * (q + xq) <= 0.25 * point.y * point.y ||
               (point.x + 1.0) * (point.x + 1.0) + point.y * point.y <= 0.0625;
  }
  if (!captured) {
    // Brent's cycle detection: an orbit that comes back to within a few ulps of a point it visited
    // is caught by an attracting cycle and will not escape.
    // Two iterations per loop trip: lavapipe ends a shader's loops after 65,535 trips in all, and
    // counts go to 200,000.
    real2 saved = z;
    int window = 8, steps = 0;
    while (n < u.maxIterations && r2 <= kBailout) {
      DIRECT_ITERATION
      if (n >= u.maxIterations || r2 > kBailout) break;
      DIRECT_ITERATION
    }
  }
  bool escaped = !captured && r2 > kBailout;
  imageStore(target, ivec2(pixel), escapeTexel(escaped, n, float(r2)));
}

#endif

// =============================================================================================
#ifdef FUNCTION_newtonKernel

// Newton's method on f(z) = z^3 - 1: every start point runs to one of the three cube roots of unity
// (or sits on the basin boundaries, where it wanders). The basin picks the hue, the smooth step count
// the shade.
const vec2 kRoots[3] = vec2[](vec2(1.0, 0.0), vec2(-0.5, 0.86602540378), vec2(-0.5, -0.86602540378));
const float kTolerance = 1e-6;  // squared distance to a root that counts as arrived

vec2 complexDiv(vec2 a, vec2 b) { return vec2(a.x * b.x + a.y * b.y, a.y * b.x - a.x * b.y) / dot(b, b); }

void main() {
  uvec2 pixel;
  if (!regionPixel(pixel)) return;

  vec2 z = u.centre + pixelOffset(pixel) * u.pixelScale;
  int root = -1;
  float mu = 0.0;
  for (int n = 0; n < u.maxIterations; ++n) {
    for (int k = 0; k < 3; ++k) {
      vec2 d = z - kRoots[k];
      float d2 = dot(d, d);
      if (d2 < kTolerance) {
        root = k;
        // Quadratic convergence: log(d2) / log(tolerance) lies in [1, 2), so this is continuous.
        mu = float(n) - log2(max(log(max(d2, 1e-30)) / log(kTolerance), 1.0));
        break;
      }
    }
    if (root >= 0) break;
    vec2 z2 = cmul(z, z);
    vec2 derivative = 3.0 * z2;
    if (dot(derivative, derivative) < 1e-14) break;
    z -= complexDiv(cmul(z2, z) - vec2(1.0, 0.0), derivative);
  }
  bool converged = root >= 0;

  if (u.diagnostic != 0) {
    imageStore(target, ivec2(pixel), diagnosticTexel(converged, mu + 1.0));
    return;
  }

  int p = paletteIndex();
  PaletteStops stops = paletteStops(p);
  vec3 colour;
  if (!converged) {
    colour = stops.inside;
  } else {
    // The three basins take the palette's lighter middle (its stops 1.5, 3 and 4.5), turning with
    // the colour shift and drifting a little with the step count.
    vec3 hue = paletteColour(stops, p, u.colourShift + 0.25 + 0.25 * float(root) + mu * 0.01);
    // Quick basins shine; the slow boundary regions, where the fractal lives, darken into lace.
    float shade = 0.1 + 0.8 * exp(-0.13 * mu);
    colour = hue * shade;
  }
  imageStore(target, ivec2(pixel), vec4(colour, 1.0));
}

#endif

// =============================================================================================
#ifdef FUNCTION_accumulateKernel

layout(push_constant) uniform Weight { float weight; } w;  // the new sample's weight, 1 / n
layout(binding = 0, rgba16f) uniform readonly image2D sampleImage;
layout(binding = 1, rgba16f) uniform image2D accumImage;

void main() {
  ivec2 p = ivec2(gl_GlobalInvocationID.xy);
  ivec2 size = imageSize(accumImage);
  if (p.x >= size.x || p.y >= size.y) return;
  vec4 mean = imageLoad(accumImage, p);
  imageStore(accumImage, p, mean + (imageLoad(sampleImage, p) - mean) * w.weight);
}

#endif
