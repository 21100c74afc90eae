#pragma once
// A host-visible GPU buffer, mapped for its whole life.

#include <cstddef>
#include <memory>
#include <string>

#include <vulkan/vulkan.h>

#include "Platform/Gpu/VulkanHandle.h"

namespace veltrane {

class GpuDevice;

class GpuBuffer {
public:
    GpuBuffer(std::shared_ptr<GpuDevice> device, size_t bytes, const std::string& label);
    ~GpuBuffer();
    GpuBuffer(const GpuBuffer&) = delete;
    GpuBuffer& operator=(const GpuBuffer&) = delete;

    size_t size() const { return size_; }
    // Host-visible, coherent memory, mapped for the buffer's whole life.
    void* contents() const { return mapped_; }
    VkBuffer vk() const { return buffer_.get(); }
    // The buffer as texels of two 32-bit unsigned words (a trailing partial texel is not covered, nor
    // anything past the device's texel limit; fetches there read zero).
    VkBufferView texelView() const { return view_.get(); }
    // The same with texels of four words.
    VkBufferView wideTexelView() const { return wideView_.get(); }

private:
    std::shared_ptr<GpuDevice> device_;
    size_t size_;
    VulkanHandle<VkBuffer> buffer_;
    VulkanHandle<VkDeviceMemory> memory_;
    VulkanHandle<VkBufferView> view_;
    VulkanHandle<VkBufferView> wideView_;
    void* mapped_ = nullptr;
};

} // namespace veltrane
