#pragma once
// The device, its one queue and its completion thread.
//
// Lifetime: a command buffer in flight keeps its device alive, so the last reference may be dropped
// on any thread, the completion thread included (when the owner let go while work was in flight).
// The destructor stops the completion thread and waits for it, except on that thread itself, which
// it lets finish on its own: it touches nothing of the device once the destructor has run. The
// program's exit waits a few seconds at most for work in flight and such a teardown to end.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <vulkan/vulkan.h>

#include "Platform/Gpu/GpuBuffer.h"
#include "Platform/Gpu/GpuCommandBuffer.h"
#include "Platform/Gpu/GpuDiskCache.h"
#include "Platform/Gpu/GpuError.h"
#include "Platform/Gpu/GpuImage.h"
#include "Platform/Gpu/GpuPipeline.h"
#include "Platform/Gpu/GpuShaderLibrary.h"
#include "Platform/Gpu/VulkanHandle.h"

namespace veltrane {

struct GpuDeviceOptions {
    // Khronos validation with synchronization validation; messages are counted and printed.
    bool validation = false;
    // Take the CPU device (lavapipe) even when a GPU is present: tests run on one known driver.
    bool preferCpu = false;
    // Lowers the device's own limit on one allocation, so tests can see how callers meet a refusal
    // without filling the machine's memory.
    std::optional<uint64_t> maxAllocationBytes;
    // Instance extensions a window system needs for its surfaces (VK_KHR_surface and the platform's
    // own, as the window layer names them). With any given, the device also enables VK_KHR_swapchain
    // when it has it, and prefers a device that has it.
    std::vector<std::string> instanceExtensions;
};

class GpuDevice : public std::enable_shared_from_this<GpuDevice> {
public:
    // Throws GpuNoDeviceError when there is no Vulkan driver or device.
    static std::shared_ptr<GpuDevice> create(const GpuDeviceOptions& options = {});
    // The process's shared device, made on first use; nullptr when there is none.
    static std::shared_ptr<GpuDevice> systemDefault();
    // The options the shared device is made with (a window system asks for its surface extensions
    // before anything draws). False, and nothing changes, once the shared device has been made.
    static bool configureSystemDefault(const GpuDeviceOptions& options);
    // The shared device, or the reason it could not be made (GpuNoDeviceError and the like): for a
    // caller that must report why.
    static std::shared_ptr<GpuDevice> systemDefaultOrThrow();

    ~GpuDevice();
    GpuDevice(const GpuDevice&) = delete;
    GpuDevice& operator=(const GpuDevice&) = delete;

    const std::string& name() const { return name_; }
    bool isCpu() const { return cpu_; }
    // 64-bit floats in shaders (shaderFloat64), enabled when the device has them.
    bool supportsFloat64() const { return float64_; }

    std::shared_ptr<GpuBuffer> makeBuffer(size_t bytes, const std::string& label);
    std::shared_ptr<GpuImage> makeImage(const GpuImageDesc& desc);
    std::shared_ptr<GpuPipeline> makeComputePipeline(const GpuComputePipelineDesc& desc);
    std::shared_ptr<GpuPipeline> makeRenderPipeline(const GpuRenderPipelineDesc& desc);
    std::shared_ptr<GpuCommandBuffer> makeCommandBuffer(const std::string& label);

    // Copies an image into memory (rows packed, bytesPerPixel each) and waits for it.
    std::vector<uint8_t> readImage(const std::shared_ptr<GpuImage>& image);

    // Writes the driver's pipeline cache to its file in the cache folder when pipelines were built
    // since it was read or last written. Never throws: a folder that cannot be written only means the
    // next start builds them again.
    void savePipelineCache() noexcept;
    // Where this device's pipeline cache lives: named after the vendor, device and driver, so another
    // driver or version never reads it.
    const std::filesystem::path& pipelineCacheFile() const { return pipelineCacheFile_; }
    struct PipelineCacheStats {
        bool loaded = false; // the file was valid and the driver took its contents
        int hits = 0;        // pipelines the driver reported as found in the cache
        int builds = 0;      // every other pipeline
    };
    PipelineCacheStats pipelineCacheStats() const;

    // Presentation, for the window layer: the instance its surfaces are made on, the queue family
    // they must support, whether VK_KHR_swapchain is enabled, and presenting on the shared queue
    // (under the submit lock, after everything submitted before).
    VkInstance instance() const { return instance_.get(); }
    uint32_t queueFamily() const { return queueFamily_; }
    bool canPresent() const { return swapchain_; }
    VkResult present(const VkPresentInfoKHR& info);
    // Waits until the queue has finished everything submitted and presented so far.
    void waitQueueIdle();

    // Validation messages of severity error seen so far (only with options.validation).
    int validationErrorCount() const;
    std::vector<std::string> validationErrors() const;

    // Internals used by the resource classes.
    VkDevice vk() const { return device_; }
    VkPhysicalDevice physical() const { return physical_; }
    VkSampler linearSampler() const { return sampler_.get(); }
    // Memory of a type with the wanted properties for an object with these requirements.
    VulkanHandle<VkDeviceMemory> allocateMemory(const VkMemoryRequirements& requirements,
                                                VkMemoryPropertyFlags wanted) const;
    void setName(VkObjectType type, uint64_t handle, const std::string& name) const;
    PFN_vkCmdPushDescriptorSetKHR pushDescriptorSet = nullptr;
    VkPipelineCache pipelineCache() const { return pipelineCache_.get(); }
    // Called by every pipeline once made, with the driver's report on it.
    void notePipelineCreated(const VkPipelineCreationFeedback& feedback);
    float timestampPeriodNs() const { return timestampPeriod_; }
    bool timestampsUsable() const { return timestamps_; }
    uint32_t maxTexelBufferElements() const { return maxTexelBufferElements_; }
    // The largest side of a 2D image and the largest single allocation the device takes.
    uint32_t maxImageSide() const { return maxImageSide_; }
    uint64_t maxAllocationBytes() const { return maxAllocationBytes_; }

private:
    friend class GpuCommandBuffer;
    friend class GpuImage;
    GpuDevice() = default;
    // The steps of creation, in order.
    void createInstance(const GpuDeviceOptions& options);
    void choosePhysicalDevice(const GpuDeviceOptions& options);
    void createLogicalDevice();
    void createSampler();
    void createPipelineCache();
    void startCompletionThread();
    // One recorded buffer onto the queue under the queue's lock, signalling `fence`; `submitted` is
    // the moment it went.
    VkResult queueSubmit(VkCommandBuffer cmd, VkFence fence, const std::vector<VkSemaphoreSubmitInfo>& waits,
                         const std::vector<VkSemaphoreSubmitInfo>& signals,
                         std::chrono::steady_clock::time_point& submitted);
    void submit(std::shared_ptr<GpuCommandBuffer> commandBuffer);
    void completionLoop();
    // Completes one command buffer taken off the flight list and lets it go. False when that released
    // the last reference to the device, which then no longer exists.
    bool complete(std::shared_ptr<GpuCommandBuffer> commandBuffer, VkResult result);
    static VKAPI_ATTR VkBool32 VKAPI_CALL debugCallback(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                                        VkDebugUtilsMessageTypeFlagsEXT types,
                                                        const VkDebugUtilsMessengerCallbackDataEXT* data, void* user);

    // In the order of creation: destroyed the other way round, after the destructor's body.
    VulkanInstance instance_;
    VulkanMessenger messenger_;
    VkPhysicalDevice physical_ = VK_NULL_HANDLE;
    VulkanDevice deviceOwner_;
    VkDevice device_ = VK_NULL_HANDLE; // deviceOwner_'s handle, read by every resource
    VkQueue queue_ = VK_NULL_HANDLE;
    uint32_t queueFamily_ = 0;
    VkPhysicalDeviceMemoryProperties memory_{};
    VulkanHandle<VkSampler> sampler_;
    VulkanHandle<VkPipelineCache> pipelineCache_;
    std::string name_;
    bool cpu_ = false;
    bool float64_ = false;
    bool timestamps_ = false;
    bool swapchain_ = false;
    bool wantsSwapchain_ = false;
    float timestampPeriod_ = 1.0f;
    uint32_t maxTexelBufferElements_ = 65536;
    uint32_t maxImageSide_ = 4096;
    uint64_t maxAllocationBytes_ = uint64_t(1) << 30;
    VkPhysicalDeviceProperties properties_{};
    GpuDiskCache::Digest pipelineCacheKey_;
    std::filesystem::path pipelineCacheFile_;
    PFN_vkSetDebugUtilsObjectNameEXT setObjectName_ = nullptr;

    std::mutex submitMutex_; // the one queue, shared by every user of the device

    mutable std::mutex pipelineCacheMutex_; // the statistics
    PipelineCacheStats pipelineCacheStats_;
    std::mutex pipelineSaveMutex_;
    int buildsSaved_ = 0; // builds already in the file; under pipelineSaveMutex_

    mutable std::mutex messagesMutex_;
    std::vector<std::string> errors_;

    std::mutex flightMutex_;
    std::condition_variable flightChanged_;
    std::deque<std::shared_ptr<GpuCommandBuffer>> inFlight_;
    bool stopping_ = false;
    std::thread completionThread_;
};

} // namespace veltrane
