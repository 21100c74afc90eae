// Post library: glow extraction, blur and the final composite. Every pass draws one full-screen
// triangle; textures are sampled with linear filtering and clamped edges. Inputs are linear light
// (rgba16f); the composite writes display-encoded (sRGB-curve) values into the caller's target.
//
// Functions: fullscreenVertex, brightFragment, blurFragment, copyFragment, compositeFragment.
#version 450

#ifdef FUNCTION_fullscreenVertex
layout(location = 0) out vec2 uv;
void main() {
  // (0,0), (2,0), (0,2) in texture coordinates: one triangle that covers the target.
  uv = vec2((gl_VertexIndex << 1) & 2, gl_VertexIndex & 2);
  gl_Position = vec4(uv * 2.0 - 1.0, 0.0, 1.0);
}
#endif

#if defined(FUNCTION_brightFragment) || defined(FUNCTION_blurFragment) || \
    defined(FUNCTION_copyFragment) || defined(FUNCTION_compositeFragment)
layout(location = 0) in vec2 uv;
layout(location = 0) out vec4 colour;
layout(binding = 0) uniform sampler2D source;

float luminance(vec3 c) { return dot(c, vec3(0.2126, 0.7152, 0.0722)); }
#endif

#ifdef FUNCTION_brightFragment
// threshold: luminance where the glow starts in full; knee: width of the soft ramp below it.
layout(push_constant) uniform Bright {
  vec2 texel;  // of the input
  float threshold;
  float knee;
} b;

void main() {
  // Four bilinear taps one input texel off the output texel's centre, each the mean of a 2 x 2
  // block: together a 4 x 4 box, which keeps thin bright filaments from shimmering as they move.
  vec3 c = texture(source, uv + b.texel * vec2(-1.0, -1.0)).rgb;
  c += texture(source, uv + b.texel * vec2(1.0, -1.0)).rgb;
  c += texture(source, uv + b.texel * vec2(-1.0, 1.0)).rgb;
  c += texture(source, uv + b.texel * vec2(1.0, 1.0)).rgb;
  c *= 0.25;
  float l = luminance(c);
  float soft = clamp(l - b.threshold + b.knee, 0.0, 2.0 * b.knee);
  soft = soft * soft / (4.0 * b.knee + 1e-5);
  float weight = max(soft, l - b.threshold) / max(l, 1e-5);
  colour = vec4(c * weight, 1.0);
}
#endif

#ifdef FUNCTION_blurFragment
layout(push_constant) uniform Blur { vec2 stepSize; } s;

void main() {
  // A 9-tap Gaussian folded into 5 bilinear fetches.
  const float offsets[3] = float[](0.0, 1.3846153846, 3.2307692308);
  const float weights[3] = float[](0.2270270270, 0.3162162162, 0.0702702703);
  vec3 c = texture(source, uv).rgb * weights[0];
  for (int i = 1; i < 3; ++i) {
    c += texture(source, uv + s.stepSize * offsets[i]).rgb * weights[i];
    c += texture(source, uv - s.stepSize * offsets[i]).rgb * weights[i];
  }
  colour = vec4(c, 1.0);
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
  // Below half a pixel of fringe a scene of the target's size is read texel for texel, which spares
  // two filtered reads where they would change nothing visible.
  vec2 fringe = fromCentre * p.aberration;
  vec2 fringePixels = fringe * p.size;
  vec3 scene;
  if (textureSize(source, 0) == ivec2(p.size) && dot(fringePixels, fringePixels) < 0.25) {
    scene = texelFetch(source, ivec2(gl_FragCoord.xy), 0).rgb;
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

