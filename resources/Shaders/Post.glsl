// Post library: glow extraction and blur, and the final composite. The glow is made by compute
// kernels that walk whole rows or columns; the copy and the composite draw one full-screen triangle.
// Textures are sampled with linear filtering and clamped edges. Inputs are linear light (rgba16f);
// the composite writes display-encoded (sRGB-curve) values into the caller's target.
//
// Functions: fullscreenVertex, glowRowsKernel, glowColumnsKernel, copyFragment, compositeFragment.
#version 450

#ifdef FUNCTION_fullscreenVertex
layout(location = 0) out vec2 uv;
void main() {
  // (0,0), (2,0), (0,2) in texture coordinates: one triangle that covers the target.
  uv = vec2((gl_VertexIndex << 1) & 2, gl_VertexIndex & 2);
  gl_Position = vec4(uv * 2.0 - 1.0, 0.0, 1.0);
}
#endif

#if defined(FUNCTION_copyFragment) || defined(FUNCTION_compositeFragment)
layout(location = 0) in vec2 uv;
layout(location = 0) out vec4 colour;
layout(binding = 0) uniform sampler2D source;
#endif

#if defined(FUNCTION_glowRowsKernel) || defined(FUNCTION_glowColumnsKernel)
// The glow is the bright light of the scene, blurred. Each invocation walks one line of the output
// (a row, or a column) and keeps the texels its blur reaches in registers, so every input texel is
// read once per line. The blur is a 9-tap Gaussian (the middle nine binomial coefficients of order
// 12), once or twice in a row (kPasses); lines are clamped at their ends, so the result
// is that of separate blur passes through textures with clamped edges, each blurring the last one's
// output. Horizontal and vertical blurs commute, so rows and then columns give the same sums as
// alternating them.
layout(local_size_x = 8) in;
layout(constant_id = 0) const int kPasses = 1;
layout(binding = 0) uniform sampler2D source;
layout(binding = 1, rgba16f) uniform writeonly image2D glow;

const float kWeights[5] = float[](924.0 / 4070.0, 792.0 / 4070.0, 495.0 / 4070.0, 220.0 / 4070.0, 66.0 / 4070.0);

// The blur of the middle texel of a window of nine.
vec3 blurred(vec3 w[9]) {
  vec3 c = w[4] * kWeights[0];
  for (int k = 1; k <= 4; ++k) c += (w[4 - k] + w[4 + k]) * kWeights[k];
  return c;
}

void shift(inout vec3 w[9], vec3 next) {
  for (int k = 0; k < 8; ++k) w[k] = w[k + 1];
  w[8] = next;
}

vec3 tap(int line, int p);                // input texel p of the line (0 <= p < the line's length)
void put(int line, int p, vec3 colour);  // output texel p of the line

// Blurs one line of `length` texels.
void blurLine(int line, int length) {
  int last = length - 1;
  // Input texels at p - 4 ... p + 4 around p = 0, clamped to the line.
  vec3 taps[9];
  vec3 edge = tap(line, 0);
  for (int k = 0; k <= 4; ++k) taps[k] = edge;
  for (int k = 1; k <= 4; ++k) taps[4 + k] = k <= last ? tap(line, k) : taps[3 + k];
  int tapNext = 5;
  if (kPasses == 1) {
    for (int x = 0; x <= last; ++x) {
      put(line, x, blurred(taps));
      shift(taps, tapNext <= last ? tap(line, tapNext) : taps[8]);
      ++tapNext;
    }
    return;
  }
  // Two blurs: a second window holds the first blur's values around p, clamped alike.
  vec3 once[9];
  vec3 first = blurred(taps);
  for (int k = 0; k <= 4; ++k) once[k] = first;
  for (int k = 1; k <= 4; ++k) {
    if (k <= last) {
      shift(taps, tapNext <= last ? tap(line, tapNext) : taps[8]);
      ++tapNext;
      once[4 + k] = blurred(taps);
    } else {
      once[4 + k] = once[3 + k];
    }
  }
  int onceNext = 5;
  for (int x = 0; x <= last; ++x) {
    put(line, x, blurred(once));
    vec3 next = once[8];
    if (onceNext <= last) {
      shift(taps, tapNext <= last ? tap(line, tapNext) : taps[8]);
      ++tapNext;
      next = blurred(taps);
    }
    shift(once, next);
    ++onceNext;
  }
}
#endif

#ifdef FUNCTION_glowRowsKernel
// Rows: the bright light of `source` at each output texel, blurred along the row.
// threshold: luminance where the glow starts in full; knee: width of the soft ramp below it.
layout(push_constant) uniform Bright {
  vec2 texel;  // of the input
  float threshold;
  float knee;
} b;

float luminance(vec3 c) { return dot(c, vec3(0.2126, 0.7152, 0.0722)); }

vec3 tap(int line, int p) {
  // Four bilinear taps one input texel off the output texel's centre, each the mean of a 2 x 2
  // block: together a 4 x 4 box, which keeps thin bright filaments from shimmering as they move.
  vec2 uv = (vec2(p, line) + 0.5) / vec2(imageSize(glow));
  vec3 c = textureLod(source, uv + b.texel * vec2(-1.0, -1.0), 0.0).rgb;
  c += textureLod(source, uv + b.texel * vec2(1.0, -1.0), 0.0).rgb;
  c += textureLod(source, uv + b.texel * vec2(-1.0, 1.0), 0.0).rgb;
  c += textureLod(source, uv + b.texel * vec2(1.0, 1.0), 0.0).rgb;
  c *= 0.25;
  float l = luminance(c);
  float soft = clamp(l - b.threshold + b.knee, 0.0, 2.0 * b.knee);
  soft = soft * soft / (4.0 * b.knee + 1e-5);
  float weight = max(soft, l - b.threshold) / max(l, 1e-5);
  return c * weight;
}

void put(int line, int p, vec3 colour) { imageStore(glow, ivec2(p, line), vec4(colour, 1.0)); }

void main() {
  int row = int(gl_GlobalInvocationID.x);
  ivec2 size = imageSize(glow);
  if (row < size.y) blurLine(row, size.x);
}
#endif

#ifdef FUNCTION_glowColumnsKernel
// Columns: `source` (the rows' output, of the same size) blurred along each column.
vec3 tap(int line, int p) { return texelFetch(source, ivec2(line, p), 0).rgb; }

void put(int line, int p, vec3 colour) { imageStore(glow, ivec2(line, p), vec4(colour, 1.0)); }

void main() {
  int column = int(gl_GlobalInvocationID.x);
  ivec2 size = imageSize(glow);
  if (column < size.x) blurLine(column, size.y);
}
#endif

#ifdef FUNCTION_copyFragment
void main() { colour = vec4(texture(source, uv).rgb, 1.0); }
#endif

#ifdef FUNCTION_compositeFragment
layout(binding = 1) uniform sampler2D glowHalf;
layout(binding = 2) uniform sampler2D glowQuarter;

layout(push_constant) uniform Composite {
  vec2 size;          // target, pixels
  float time;         // seconds
  float bloomGain;
  float aberration;   // audio term: colour fringing towards the edges, in texture units
  float vignette;
  float grain;        // amplitude of the film grain in display-encoded units
  float exposure;
  float amplitude;
  float bass;
  float transientPulse;
  float drift;        // hue drift, in turns of the colour wheel
  float headroom;     // largest display-encoded value allowed (>= 1)
  uint extendedRange; // 1 for a half-float target
} p;

// Filmic curve (a rational fit of the ACES reference tone scale), applied to linear light.
vec3 toneMap(vec3 x) {
  return clamp((x * (2.51 * x + 0.03)) / (x * (2.43 * x + 0.59) + 0.14), 0.0, 1.0);
}

// The sRGB encoding curve on [0, 1]: its linear toe, then a fit with square roots that stays within
// a quarter step of 8-bit output and costs a third of pow on a CPU device.
vec3 encodeSRGB(vec3 c) {
  c = clamp(c, 0.0, 1.0);
  vec3 s1 = sqrt(c), s2 = sqrt(s1), s3 = sqrt(s2);
  vec3 curve = 0.662002687 * s1 + 0.684122060 * s2 - 0.323583601 * s3 - 0.0225411470 * c;
  return mix(curve, c * 12.92, lessThan(c, vec3(0.0031308)));
}

// Turns the chroma of a colour about the grey axis (YIQ), keeping its luminance.
vec3 rotateHue(vec3 c, float turns) {
  const mat3 toYIQ = mat3(0.299, 0.596, 0.211, 0.587, -0.274, -0.523, 0.114, -0.322, 0.312);
  const mat3 toRGB = mat3(1.0, 1.0, 1.0, 0.956, -0.272, -1.106, 0.621, -0.647, 1.703);
  vec3 yiq = toYIQ * c;
  float a = turns * 6.28318530718;
  float cs = cos(a), sn = sin(a);
  yiq.yz = vec2(cs * yiq.y - sn * yiq.z, sn * yiq.y + cs * yiq.z);
  return max(toRGB * yiq, vec3(0.0));
}

float hash(vec2 q) {
  vec3 p3 = fract(vec3(q.xyx) * 0.1031);
  p3 += dot(p3, p3.yzx + 33.33);
  return fract((p3.x + p3.y) * p3.z);
}

void main() {
  vec2 fromCentre = uv - 0.5;
  // Fringing: red and blue are read a little outward and inward of green, more towards the edges.
  // Below half a pixel of fringe the three channels are read at one place, which spares two
  // filtered reads where they would change nothing visible: a scene of the target's size texel for
  // texel, a smaller one (the moving view's) with one filtered read.
  vec2 fringe = fromCentre * p.aberration;
  vec2 fringePixels = fringe * p.size;
  vec3 scene;
  bool narrow = dot(fringePixels, fringePixels) < 0.25;
  if (narrow && textureSize(source, 0) == ivec2(p.size)) {
    scene = texelFetch(source, ivec2(gl_FragCoord.xy), 0).rgb;
  } else if (narrow) {
    scene = texture(source, uv).rgb;
  } else {
    scene.r = texture(source, uv + fringe).r;
    scene.g = texture(source, uv).g;
    scene.b = texture(source, uv - fringe).b;
  }

  vec3 glow = texture(glowHalf, uv).rgb * 0.6 + texture(glowQuarter, uv).rgb * 0.9;
  vec3 c = scene + glow * p.bloomGain;

  // Sound in the picture: loudness lifts the exposure, a transient flashes, bass warms the light.
  c *= p.exposure * (1.0 + 0.35 * p.amplitude + 0.45 * p.transientPulse);
  c *= mix(vec3(1.0), vec3(1.10, 0.97, 0.86), clamp(p.bass, 0.0, 1.0) * 0.5);
  if (abs(p.drift) > 1e-5) c = rotateHue(c, p.drift * 0.25);

  c = toneMap(c);

  // Vignette: a soft darkening of the corners, the short side's edge barely touched.
  vec2 aspect = vec2(p.size.x / max(p.size.y, 1.0), 1.0);
  float r = length(fromCentre * aspect) / length(0.5 * aspect);
  c *= 1.0 - p.vignette * smoothstep(0.35, 1.1, r) * 0.9;

  vec3 encoded = encodeSRGB(c);
  // Grain in display units, changing every frame; it also dithers away banding in dark gradients.
  float g = hash(gl_FragCoord.xy + fract(p.time * 7.31) * 517.0) - 0.5;
  encoded += g * p.grain;

  float ceiling = p.extendedRange != 0u ? p.headroom : 1.0;
  colour = vec4(clamp(encoded, 0.0, ceiling), 1.0);
}
#endif

