#pragma once
// A command buffer: passes recorded in order, committed once, completed with handlers and times.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <vulkan/vulkan.h>

#include "Platform/Gpu/GpuBuffer.h"
#include "Platform/Gpu/GpuImage.h"
#include "Platform/Gpu/GpuPipeline.h"
#include "Platform/Gpu/VulkanHandle.h"

namespace veltrane {

class GpuDevice;

// Records passes, then is committed once. Handlers run on the device's completion thread after the
// GPU finished; waitUntilCompleted returns after they ran.
class GpuCommandBuffer : public std::enable_shared_from_this<GpuCommandBuffer> {
public:
    enum class Status { recording, committed, completed, error };

    explicit GpuCommandBuffer(std::shared_ptr<GpuDevice> device, const std::string& label);
    ~GpuCommandBuffer();
    GpuCommandBuffer(const GpuCommandBuffer&) = delete;
    GpuCommandBuffer& operator=(const GpuCommandBuffer&) = delete;

    // Compute: set the pipeline, its bindings and bytes, then dispatch (groups).
    void setComputePipeline(std::shared_ptr<GpuPipeline> pipeline);
    void setBytes(const void* data, uint32_t bytes); // push constants, at most 128 bytes
    void setImage(uint32_t binding, std::shared_ptr<GpuImage> image);
    void setBuffer(uint32_t binding, std::shared_ptr<GpuBuffer> buffer);
    void dispatch(uint32_t groupsX, uint32_t groupsY);

    // Rendering into one colour attachment; its old contents are not loaded.
    void beginRendering(std::shared_ptr<GpuImage> target);
    void setRenderPipeline(std::shared_ptr<GpuPipeline> pipeline);
    void draw(uint32_t vertexCount);
    void endRendering();

    // Copies between images of equal size and format, and from an image into a buffer (rows packed).
    void copyImage(std::shared_ptr<GpuImage> source, std::shared_ptr<GpuImage> destination);
    void copyImageToBuffer(std::shared_ptr<GpuImage> source, std::shared_ptr<GpuBuffer> destination);

    // For the window layer, which records the copy into a swapchain image itself: raw commands as one
    // more pass (ordered after everything before it), semaphores the submission waits for and
    // signals, and objects kept alive until the GPU has finished.
    void encodeRaw(const std::function<void(VkCommandBuffer)>& record);
    void waitForSemaphore(VkSemaphore semaphore, VkPipelineStageFlags2 stage);
    void signalSemaphore(VkSemaphore semaphore);
    void retain(std::shared_ptr<void> object);

    // Stage timing, for measurements. Once a record is given, mark(stage) runs the work recorded since
    // the previous mark (or since the record was given) to completion at once and appends to the
    // record the processor time spent recording it, the wall time from its submission to its
    // completion and the processor time the whole process spent meanwhile (on a CPU device the
    // device's work on all its threads, which a loaded machine stretches less than the wall time); on
    // a CPU device the buffer's GPU time is then the sum of its pieces. Marks go between passes;
    // without a record they do nothing. Each piece is a submission and a wait of its own, so a timed
    // frame costs a little more than an untimed one.
    struct StageTime {
        std::string stage;
        double recordMs = 0;
        double runMs = 0;
        double processorMs = 0;
    };
    void timeStages(std::shared_ptr<std::vector<StageTime>> record);
    void mark(const char* stage);

    void addCompletedHandler(std::function<void(GpuCommandBuffer&)> handler);
    void commit();
    void waitUntilCompleted();

    Status status() const;
    const std::string& errorText() const { return error_; }
    // Seconds on one clock; on a CPU device the wall time from submission to completion, because its
    // timestamps do not cover dispatch-only work.
    double gpuStartTime() const { return gpuStart_; }
    double gpuEndTime() const { return gpuEnd_; }

private:
    friend class GpuDevice;
    void beginPass();
    void begin();
    void flushBindings();
    void finish(bool ok, const std::string& error);

    std::shared_ptr<GpuDevice> device_;
    std::string label_;
    VulkanHandle<VkCommandPool> pool_;
    VkCommandBuffer cmd_ = VK_NULL_HANDLE;
    VulkanHandle<VkFence> fence_;
    VulkanHandle<VkQueryPool> queries_;
    std::shared_ptr<GpuPipeline> pipeline_;
    struct Bound {
        std::shared_ptr<GpuImage> image;
        std::shared_ptr<GpuBuffer> buffer;
    };
    std::vector<Bound> bound_;
    bool rendering_ = false;
    std::vector<std::shared_ptr<void>> retained_;
    std::vector<VkSemaphoreSubmitInfo> waits_, signals_;
    std::vector<std::function<void(GpuCommandBuffer&)>> handlers_;
    std::chrono::steady_clock::time_point submitted_;
    double gpuStart_ = 0, gpuEnd_ = 0;
    std::shared_ptr<std::vector<StageTime>> stageTimes_;
    std::chrono::steady_clock::time_point lastMark_;
    double timedSeconds_ = 0; // run time of the pieces already completed by marks
    std::string error_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    Status status_ = Status::recording;
};

} // namespace veltrane
