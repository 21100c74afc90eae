#pragma once
// Formats, image usages, binding kinds and shader stages of the GPU layer.

#include <string>

namespace veltrane {

enum class GpuFormat { rgba16Float, bgra8Unorm };

enum GpuImageUsage : unsigned {
  gpuShaderRead = 1,     // sampled in fragment shaders
  gpuShaderWrite = 2,    // storage image in compute shaders
  gpuRenderTarget = 4,   // colour attachment
};

struct GpuImageDesc {
  int width = 0;
  int height = 0;
  GpuFormat format = GpuFormat::rgba16Float;
  unsigned usage = 0;  // GpuImageUsage bits; copies in and out are always allowed
  std::string label;
};

enum class GpuBinding { storageImage, sampledImage, storageBuffer };

enum class GpuShaderStage { compute, vertex, fragment };

}  // namespace veltrane
