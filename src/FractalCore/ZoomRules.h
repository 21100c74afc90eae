#pragma once
// Zoom limits and the automatic iteration count.
namespace veltrane::ZoomRules {

inline constexpr double minZoom = 0.1;
inline constexpr double webMaxZoom = 1e13;
inline constexpr double bigMaxZoom = 1e30;
inline constexpr double extremeMaxZoom = 1e300;
inline constexpr int defaultIterations = 128;
inline constexpr int webMaxIterations = 4096;

// min(zoom, max) raised to at least minZoom; a zoom that is not a number yields max (the instrument
// passes extremeMaxZoom).
double clampZoom(double zoom, double max) noexcept;

// floor(64·log2(max(zoom, 1)) + 160.5), at least 128, at most cap. A zoom that is not a number counts
// as 1; +∞ gives cap.
int autoIterations(double zoom, int cap) noexcept;

} // namespace veltrane::ZoomRules
