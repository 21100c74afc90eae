#include "Platform/Gpu/GpuImage.h"

#include "Platform/Gpu/GpuDevice.h"

namespace veltrane {

namespace {

VkFormat vkFormat(GpuFormat format)
{
    return format == GpuFormat::rgba16Float ? VK_FORMAT_R16G16B16A16_SFLOAT : VK_FORMAT_B8G8R8A8_UNORM;
}

} // namespace

GpuImage::GpuImage(std::shared_ptr<GpuDevice> device, const GpuImageDesc& desc)
    : device_(std::move(device)), desc_(desc)
{
    // Every refusal names the image and its size.
    const std::string what =
        "image " + desc_.label + " of " + std::to_string(desc_.width) + " x " + std::to_string(desc_.height) + ": ";
    if (desc_.width < 1 || desc_.height < 1) throw GpuError(what + "zero size");
    const uint32_t side = device_->maxImageSide();
    if (uint32_t(desc_.width) > side || uint32_t(desc_.height) > side)
        throw GpuError(what + "the device's images are at most " + std::to_string(side) + " pixels a side");
    try {
        create();
    } catch (const GpuError& error) {
        throw GpuError(what + error.what());
    }
}

void GpuImage::create()
{
    VkDevice vk = device_->vk();
    VkImageCreateInfo info{VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO};
    info.imageType = VK_IMAGE_TYPE_2D;
    info.format = vkFormat(desc_.format);
    info.extent = {uint32_t(desc_.width), uint32_t(desc_.height), 1};
    info.mipLevels = 1;
    info.arrayLayers = 1;
    info.samples = VK_SAMPLE_COUNT_1_BIT;
    info.tiling = VK_IMAGE_TILING_OPTIMAL;
    info.usage = VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT;
    if (desc_.usage & gpuShaderRead) info.usage |= VK_IMAGE_USAGE_SAMPLED_BIT;
    if (desc_.usage & gpuShaderWrite) info.usage |= VK_IMAGE_USAGE_STORAGE_BIT;
    if (desc_.usage & gpuRenderTarget) info.usage |= VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    info.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    VkImage image;
    checkVk(vkCreateImage(vk, &info, nullptr, &image), "vkCreateImage");
    image_ = VulkanHandle<VkImage>(vk, image, vkDestroyImage);
    VkMemoryRequirements req;
    vkGetImageMemoryRequirements(vk, image, &req);
    memory_ = device_->allocateMemory(req, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
    checkVk(vkBindImageMemory(vk, image, memory_.get(), 0), "vkBindImageMemory");
    VkImageViewCreateInfo viewInfo{VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
    viewInfo.image = image;
    viewInfo.viewType = VK_IMAGE_VIEW_TYPE_2D;
    viewInfo.format = info.format;
    viewInfo.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    VkImageView view;
    checkVk(vkCreateImageView(vk, &viewInfo, nullptr, &view), "vkCreateImageView");
    view_ = VulkanHandle<VkImageView>(vk, view, vkDestroyImageView);
    device_->setName(VK_OBJECT_TYPE_IMAGE, uint64_t(image), desc_.label);
}

} // namespace veltrane
