#pragma once
// Compute pipelines and full-screen render pipelines with dynamic rendering; bindings are push
// descriptors of set 0, inline bytes are push constants.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <vulkan/vulkan.h>

#include "Platform/Gpu/GpuShaderLibrary.h"
#include "Platform/Gpu/GpuTypes.h"
#include "Platform/Gpu/VulkanHandle.h"

namespace veltrane {

class GpuDevice;

struct GpuComputePipelineDesc {
    const GpuShaderFunction* function = nullptr;
    std::vector<GpuBinding> bindings; // binding i of set 0
    uint32_t pushConstantBytes = 0;
    std::optional<int32_t> constant0; // specialization constant 0
    std::string label;
};

struct GpuRenderPipelineDesc {
    const GpuShaderFunction* vertex = nullptr;
    const GpuShaderFunction* fragment = nullptr;
    std::vector<GpuBinding> bindings;
    uint32_t pushConstantBytes = 0;
    GpuFormat colourFormat = GpuFormat::rgba16Float;
    std::string label;
};

class GpuPipeline {
public:
    GpuPipeline(std::shared_ptr<GpuDevice> device, const GpuComputePipelineDesc& desc);
    GpuPipeline(std::shared_ptr<GpuDevice> device, const GpuRenderPipelineDesc& desc);
    GpuPipeline(const GpuPipeline&) = delete;
    GpuPipeline& operator=(const GpuPipeline&) = delete;

    bool isCompute() const { return compute_; }
    const std::vector<GpuBinding>& bindings() const { return bindings_; }
    uint32_t pushConstantBytes() const { return pushBytes_; }
    GpuFormat colourFormat() const { return colourFormat_; }
    VkPipeline vk() const { return pipeline_.get(); }
    VkPipelineLayout layout() const { return layout_.get(); }

private:
    void makeLayout(const std::string& label);

    std::shared_ptr<GpuDevice> device_;
    bool compute_;
    std::vector<GpuBinding> bindings_;
    uint32_t pushBytes_;
    GpuFormat colourFormat_ = GpuFormat::rgba16Float;
    VulkanHandle<VkDescriptorSetLayout> setLayout_;
    VulkanHandle<VkPipelineLayout> layout_;
    VulkanHandle<VkPipeline> pipeline_;
};

} // namespace veltrane
