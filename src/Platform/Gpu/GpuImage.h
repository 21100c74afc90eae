#pragma once
// A two-dimensional image without mipmaps, always in the GENERAL layout. An image the device cannot
// make throws GpuError naming the image, its size and the reason.

#include <cstddef>
#include <memory>
#include <string>

#include <vulkan/vulkan.h>

#include "Platform/Gpu/GpuTypes.h"
#include "Platform/Gpu/VulkanHandle.h"

namespace veltrane {

class GpuDevice;

class GpuImage {
public:
    GpuImage(std::shared_ptr<GpuDevice> device, const GpuImageDesc& desc);
    GpuImage(const GpuImage&) = delete;
    GpuImage& operator=(const GpuImage&) = delete;

    int width() const { return desc_.width; }
    int height() const { return desc_.height; }
    GpuFormat format() const { return desc_.format; }
    size_t bytesPerPixel() const { return desc_.format == GpuFormat::rgba16Float ? 8 : 4; }
    const std::string& label() const { return desc_.label; }
    VkImage vk() const { return image_.get(); }
    VkImageView view() const { return view_.get(); }

private:
    void create();

    std::shared_ptr<GpuDevice> device_;
    GpuImageDesc desc_;
    VulkanHandle<VkImage> image_;
    VulkanHandle<VkDeviceMemory> memory_;
    VulkanHandle<VkImageView> view_;
};

} // namespace veltrane
