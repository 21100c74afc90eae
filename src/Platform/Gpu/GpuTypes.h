#pragma once
// Formats, image usages, binding kinds and shader stages of the GPU layer.

#include <string>

namespace veltrane {

enum class GpuFormat { rgba16Float, bgra8Unorm };

enum GpuImageUsage : unsigned {
    gpuShaderRead = 1,   // sampled in fragment shaders
    gpuShaderWrite = 2,  // storage image in compute shaders
    gpuRenderTarget = 4, // colour attachment
};

struct GpuImageDesc {
    int width = 0;
    int height = 0;
    GpuFormat format = GpuFormat::rgba16Float;
    unsigned usage = 0; // GpuImageUsage bits; copies in and out are always allowed
    std::string label;
};

// texelBuffer: a buffer read in shaders as a readonly uimageBuffer (rg32ui) of texels of two 32-bit
// words; wideTexelBuffer: the same with four words per texel (rgba32ui). CPU devices load storage
// texels inline, where a sampled texel fetch is a call that spills every live register and an
// indexed storage-buffer read is a loop over invocations.
enum class GpuBinding { storageImage, sampledImage, storageBuffer, texelBuffer, wideTexelBuffer };

enum class GpuShaderStage { compute, vertex, fragment };

} // namespace veltrane
