#pragma once
// The Vulkan side of a window: a surface, its swapchain and the frames in flight. Internal to the
// window layer (the SDL backend makes the surface and hands it over).
//
// Each frame: `next` waits for the frame slot's previous work, acquires a swapchain image and hands
// out the slot's drawable texture; `present` records the copy of the texture into the image at the
// end of the caller's command buffer (after every pass before it), commits it and queues the
// present. Every drawable handed out must be presented, once.

#include <memory>
#include <optional>
#include <vector>

#include <vulkan/vulkan.h>

#include "Platform/Window/Window.h"

namespace veltrane {

class Swapchain {
public:
    // Takes ownership of `surface`. Throws WindowError when the device cannot present to it.
    Swapchain(std::shared_ptr<GpuDevice> device, VkSurfaceKHR surface, const SwapchainDesc& desc);
    ~Swapchain();
    Swapchain(const Swapchain&) = delete;
    Swapchain& operator=(const Swapchain&) = delete;

    // `pixelWidth` x `pixelHeight`: the window's drawable size now (used where the surface leaves
    // the extent to the application). Nothing when there is nothing to draw into.
    std::optional<Drawable> next(int pixelWidth, int pixelHeight);
    void present(const Drawable& drawable, const std::shared_ptr<GpuCommandBuffer>& commandBuffer);
    void waitIdle();
    const std::shared_ptr<GpuImage>& lastPresented() const { return lastPresented_; }

private:
    struct Slot {
        VkSemaphore acquired = VK_NULL_HANDLE;
        std::shared_ptr<GpuCommandBuffer> inFlight;
        std::shared_ptr<GpuImage> texture;
    };
    void build(int pixelWidth, int pixelHeight);
    void destroyImages();
    void waitForSlots();

    std::shared_ptr<GpuDevice> device_;
    VkSurfaceKHR surface_ = VK_NULL_HANDLE;
    VkSwapchainKHR swapchain_ = VK_NULL_HANDLE;
    VkFormat format_ = VK_FORMAT_UNDEFINED;
    VkExtent2D extent_{0, 0};
    std::vector<VkImage> images_;
    std::vector<VkSemaphore> rendered_; // one per swapchain image: the present waits on it
    std::vector<Slot> slots_;
    int nextSlot_ = 0;
    bool stale_ = true;
    std::shared_ptr<GpuImage> lastPresented_;
};

} // namespace veltrane
