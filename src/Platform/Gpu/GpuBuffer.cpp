#include "Platform/Gpu/GpuBuffer.h"

#include <algorithm>

#include "Platform/Gpu/GpuDevice.h"

namespace veltrane {

namespace {
constexpr size_t kTexelBytes = 8;
}

GpuBuffer::GpuBuffer(std::shared_ptr<GpuDevice> device, size_t bytes, const std::string& label)
    : device_(std::move(device)), size_(bytes)
{
    VkDevice vk = device_->vk();
    VkBufferCreateInfo info{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    // At least one wide texel, so that every buffer can be bound as either kind of texel buffer.
    info.size = std::max<size_t>(bytes, 2 * kTexelBytes);
    info.usage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_STORAGE_TEXEL_BUFFER_BIT |
                 VK_BUFFER_USAGE_TRANSFER_DST_BIT | VK_BUFFER_USAGE_TRANSFER_SRC_BIT;
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    VkBuffer buffer;
    checkVk(vkCreateBuffer(vk, &info, nullptr, &buffer), "vkCreateBuffer");
    buffer_ = VulkanHandle<VkBuffer>(vk, buffer, vkDestroyBuffer);
    VkMemoryRequirements req;
    vkGetBufferMemoryRequirements(vk, buffer, &req);
    memory_ = device_->allocateMemory(req, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
    VkDeviceMemory memory = memory_.get();
    checkVk(vkBindBufferMemory(vk, buffer, memory, 0), "vkBindBufferMemory");
    checkVk(vkMapMemory(vk, memory, 0, VK_WHOLE_SIZE, 0, &mapped_), "vkMapMemory");
    device_->setName(VK_OBJECT_TYPE_BUFFER, uint64_t(buffer), label);

    auto makeView = [&](VkFormat format, size_t texelBytes) {
        VkBufferViewCreateInfo viewInfo{VK_STRUCTURE_TYPE_BUFFER_VIEW_CREATE_INFO};
        viewInfo.buffer = buffer;
        viewInfo.format = format;
        viewInfo.offset = 0;
        size_t texels = std::min<size_t>(info.size / texelBytes, device_->maxTexelBufferElements());
        viewInfo.range = texels * texelBytes;
        VkBufferView view;
        checkVk(vkCreateBufferView(vk, &viewInfo, nullptr, &view), "vkCreateBufferView");
        return VulkanHandle<VkBufferView>(vk, view, vkDestroyBufferView);
    };
    view_ = makeView(VK_FORMAT_R32G32_UINT, kTexelBytes);
    wideView_ = makeView(VK_FORMAT_R32G32B32A32_UINT, 2 * kTexelBytes);
}

GpuBuffer::~GpuBuffer()
{
    if (memory_ && mapped_) vkUnmapMemory(device_->vk(), memory_.get());
}

} // namespace veltrane
