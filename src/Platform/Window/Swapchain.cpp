#include "Platform/Window/Swapchain.h"

#include <algorithm>
#include <string>

namespace veltrane {

namespace {

VkSemaphore makeSemaphore(VkDevice device)
{
    VkSemaphoreCreateInfo info{VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO};
    VkSemaphore semaphore = VK_NULL_HANDLE;
    checkVk(vkCreateSemaphore(device, &info, nullptr, &semaphore), "vkCreateSemaphore");
    return semaphore;
}

VkImageMemoryBarrier2 layoutChange(VkImage image, VkImageLayout from, VkImageLayout to)
{
    VkImageMemoryBarrier2 barrier{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2};
    barrier.oldLayout = from;
    barrier.newLayout = to;
    barrier.srcQueueFamilyIndex = barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.image = image;
    barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    return barrier;
}

void record(VkCommandBuffer cmd, const VkImageMemoryBarrier2& barrier)
{
    VkDependencyInfo dependency{VK_STRUCTURE_TYPE_DEPENDENCY_INFO};
    dependency.imageMemoryBarrierCount = 1;
    dependency.pImageMemoryBarriers = &barrier;
    vkCmdPipelineBarrier2(cmd, &dependency);
}

} // namespace

Swapchain::Swapchain(std::shared_ptr<GpuDevice> device, VkSurfaceKHR surface, const SwapchainDesc& desc)
    : device_(std::move(device)), surface_(surface)
{
    VkBool32 supported = VK_FALSE;
    vkGetPhysicalDeviceSurfaceSupportKHR(device_->physical(), device_->queueFamily(), surface_, &supported);
    if (!device_->canPresent() || !supported) {
        vkDestroySurfaceKHR(device_->instance(), surface_, nullptr);
        surface_ = VK_NULL_HANDLE;
        throw WindowError("the GPU device cannot present to this window");
    }
    slots_.resize(size_t(std::clamp(desc.framesInFlight > 0 ? desc.framesInFlight : 2, 1, 4)));
    for (Slot& slot : slots_) slot.acquired = makeSemaphore(device_->vk());
}

Swapchain::~Swapchain()
{
    waitIdle();
    destroyImages();
    if (swapchain_) vkDestroySwapchainKHR(device_->vk(), swapchain_, nullptr);
    for (Slot& slot : slots_)
        if (slot.acquired) vkDestroySemaphore(device_->vk(), slot.acquired, nullptr);
    if (surface_) vkDestroySurfaceKHR(device_->instance(), surface_, nullptr);
}

void Swapchain::waitForSlots()
{
    for (Slot& slot : slots_) {
        if (slot.inFlight) slot.inFlight->waitUntilCompleted();
        slot.inFlight.reset();
    }
}

void Swapchain::waitIdle()
{
    waitForSlots();
    // The presents queued after the frames.
    device_->waitQueueIdle();
}

void Swapchain::destroyImages()
{
    for (VkSemaphore semaphore : rendered_) vkDestroySemaphore(device_->vk(), semaphore, nullptr);
    rendered_.clear();
    images_.clear();
}

void Swapchain::build(int pixelWidth, int pixelHeight)
{
    waitIdle();
    VkSurfaceCapabilitiesKHR caps;
    checkVk(vkGetPhysicalDeviceSurfaceCapabilitiesKHR(device_->physical(), surface_, &caps),
            "vkGetPhysicalDeviceSurfaceCapabilitiesKHR");
    VkExtent2D extent = caps.currentExtent;
    if (extent.width == UINT32_MAX) {
        extent.width = uint32_t(std::clamp<int64_t>(pixelWidth, caps.minImageExtent.width, caps.maxImageExtent.width));
        extent.height =
            uint32_t(std::clamp<int64_t>(pixelHeight, caps.minImageExtent.height, caps.maxImageExtent.height));
    }
    destroyImages();
    if (extent.width == 0 || extent.height == 0) {
        // Minimised: nothing to draw until the window has a size again.
        extent_ = extent;
        return;
    }

    uint32_t count = 0;
    vkGetPhysicalDeviceSurfaceFormatsKHR(device_->physical(), surface_, &count, nullptr);
    std::vector<VkSurfaceFormatKHR> formats(count);
    vkGetPhysicalDeviceSurfaceFormatsKHR(device_->physical(), surface_, &count, formats.data());
    if (formats.empty()) throw WindowError("the window's surface offers no pixel format");
    // 8-bit UNORM, the drawable's own format, so the copy needs no conversion; else whatever there is
    // (the copy becomes a blit).
    VkSurfaceFormatKHR chosen = formats[0];
    for (const auto& f : formats)
        if (f.format == VK_FORMAT_B8G8R8A8_UNORM && f.colorSpace == VK_COLOR_SPACE_SRGB_NONLINEAR_KHR) chosen = f;
    format_ = chosen.format;

    // >= 2: one image on screen and one being drawn; one more when the surface allows, so acquiring
    // does not wait for the display.
    uint32_t imageCount = std::max(caps.minImageCount + 1, 2u);
    if (caps.maxImageCount > 0) imageCount = std::min(imageCount, caps.maxImageCount);

    VkSwapchainCreateInfoKHR info{VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR};
    info.surface = surface_;
    info.minImageCount = imageCount;
    info.imageFormat = chosen.format;
    info.imageColorSpace = chosen.colorSpace;
    info.imageExtent = extent;
    info.imageArrayLayers = 1;
    info.imageUsage = VK_IMAGE_USAGE_TRANSFER_DST_BIT;
    info.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
    info.preTransform = caps.currentTransform;
    info.compositeAlpha =
        (caps.supportedCompositeAlpha & VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR)
            ? VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR
            : VkCompositeAlphaFlagBitsKHR(caps.supportedCompositeAlpha & -caps.supportedCompositeAlpha);
    info.presentMode = VK_PRESENT_MODE_FIFO_KHR; // always there; the caller paces
    info.clipped = VK_TRUE;
    info.oldSwapchain = swapchain_;
    VkSwapchainKHR made = VK_NULL_HANDLE;
    checkVk(vkCreateSwapchainKHR(device_->vk(), &info, nullptr, &made), "vkCreateSwapchainKHR");
    if (swapchain_) vkDestroySwapchainKHR(device_->vk(), swapchain_, nullptr);
    swapchain_ = made;
    extent_ = extent;

    vkGetSwapchainImagesKHR(device_->vk(), swapchain_, &count, nullptr);
    images_.resize(count);
    vkGetSwapchainImagesKHR(device_->vk(), swapchain_, &count, images_.data());
    for (size_t i = 0; i < images_.size(); ++i) rendered_.push_back(makeSemaphore(device_->vk()));
    for (Slot& slot : slots_) slot.texture.reset();
    stale_ = false;
}

std::optional<Drawable> Swapchain::next(int pixelWidth, int pixelHeight)
{
    if (pixelWidth <= 0 || pixelHeight <= 0) return std::nullopt;
    if (stale_ || (extent_.width != uint32_t(pixelWidth) || extent_.height != uint32_t(pixelHeight))) {
        VkSurfaceCapabilitiesKHR caps;
        vkGetPhysicalDeviceSurfaceCapabilitiesKHR(device_->physical(), surface_, &caps);
        // Surfaces that fix the extent follow the window themselves; rebuild only when it moved.
        bool fixed = caps.currentExtent.width != UINT32_MAX;
        VkExtent2D wanted = fixed ? caps.currentExtent : VkExtent2D{uint32_t(pixelWidth), uint32_t(pixelHeight)};
        if (stale_ || wanted.width != extent_.width || wanted.height != extent_.height) build(pixelWidth, pixelHeight);
    }
    if (!swapchain_ || extent_.width == 0 || extent_.height == 0) return std::nullopt;

    Slot& slot = slots_[size_t(nextSlot_)];
    if (slot.inFlight) slot.inFlight->waitUntilCompleted();
    slot.inFlight.reset();

    uint32_t index = 0;
    VkResult result = VK_ERROR_OUT_OF_DATE_KHR;
    for (int attempt = 0; attempt < 2; ++attempt) {
        result = vkAcquireNextImageKHR(device_->vk(), swapchain_, UINT64_MAX, slot.acquired, VK_NULL_HANDLE, &index);
        if (result != VK_ERROR_OUT_OF_DATE_KHR) break;
        build(pixelWidth, pixelHeight);
        if (!swapchain_ || extent_.width == 0) return std::nullopt;
    }
    if (result == VK_SUBOPTIMAL_KHR)
        stale_ = true; // drawn all the same; made anew for the next frame
    else if (result != VK_SUCCESS)
        throw GpuError("acquiring a swapchain image failed (VkResult " + std::to_string(result) + ")");

    if (!slot.texture || slot.texture->width() != int(extent_.width) || slot.texture->height() != int(extent_.height))
        slot.texture = device_->makeImage({int(extent_.width), int(extent_.height), GpuFormat::bgra8Unorm,
                                           gpuRenderTarget | gpuShaderRead, "drawable"});
    Drawable drawable{slot.texture, index, nextSlot_};
    nextSlot_ = (nextSlot_ + 1) % int(slots_.size());
    return drawable;
}

void Swapchain::present(const Drawable& drawable, const std::shared_ptr<GpuCommandBuffer>& cb)
{
    VkImage image = images_.at(drawable.imageIndex);
    VkImage source = drawable.texture->vk();
    const VkExtent2D extent = extent_;
    const bool copy = format_ == VK_FORMAT_B8G8R8A8_UNORM && drawable.texture->width() == int(extent.width) &&
                      drawable.texture->height() == int(extent.height);
    const int sw = drawable.texture->width(), sh = drawable.texture->height();
    cb->encodeRaw([&](VkCommandBuffer cmd) {
        VkImageMemoryBarrier2 toCopy =
            layoutChange(image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
        // Chained to the acquire semaphore's wait, which is at the transfer stage.
        toCopy.srcStageMask = VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT;
        toCopy.dstStageMask = VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT;
        toCopy.dstAccessMask = VK_ACCESS_2_TRANSFER_WRITE_BIT;
        record(cmd, toCopy);
        if (copy) {
            VkImageCopy region{};
            region.srcSubresource = region.dstSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
            region.extent = {extent.width, extent.height, 1};
            vkCmdCopyImage(cmd, source, VK_IMAGE_LAYOUT_GENERAL, image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1,
                           &region);
        } else {
            VkImageBlit region{};
            region.srcSubresource = region.dstSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
            region.srcOffsets[1] = {sw, sh, 1};
            region.dstOffsets[1] = {int32_t(extent.width), int32_t(extent.height), 1};
            vkCmdBlitImage(cmd, source, VK_IMAGE_LAYOUT_GENERAL, image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1,
                           &region, VK_FILTER_LINEAR);
        }
        VkImageMemoryBarrier2 toPresent =
            layoutChange(image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_IMAGE_LAYOUT_PRESENT_SRC_KHR);
        toPresent.srcStageMask = VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT;
        toPresent.srcAccessMask = VK_ACCESS_2_TRANSFER_WRITE_BIT;
        toPresent.dstStageMask = VK_PIPELINE_STAGE_2_NONE;
        record(cmd, toPresent);
    });
    Slot& slot = slots_.at(size_t(drawable.slot));
    cb->waitForSemaphore(slot.acquired, VK_PIPELINE_STAGE_2_ALL_TRANSFER_BIT);
    cb->signalSemaphore(rendered_.at(drawable.imageIndex));
    cb->retain(drawable.texture);
    cb->commit();
    slot.inFlight = cb;
    lastPresented_ = drawable.texture;

    VkPresentInfoKHR info{VK_STRUCTURE_TYPE_PRESENT_INFO_KHR};
    info.waitSemaphoreCount = 1;
    VkSemaphore rendered = rendered_.at(drawable.imageIndex);
    info.pWaitSemaphores = &rendered;
    info.swapchainCount = 1;
    info.pSwapchains = &swapchain_;
    info.pImageIndices = &drawable.imageIndex;
    VkResult result = device_->present(info);
    if (result == VK_ERROR_OUT_OF_DATE_KHR || result == VK_SUBOPTIMAL_KHR)
        stale_ = true;
    else if (result != VK_SUCCESS)
        throw GpuError("presenting failed (VkResult " + std::to_string(result) + ")");
}

} // namespace veltrane
