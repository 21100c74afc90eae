#include <cstring>
#include <mutex>

#include "Platform/Clock/Clock.h"
#include "Platform/Gpu/GpuDevice.h"

namespace veltrane {

GpuCommandBuffer::GpuCommandBuffer(std::shared_ptr<GpuDevice> device, const std::string& label)
    : device_(std::move(device)), label_(label)
{
    VkDevice vk = device_->vk();
    // One pool per command buffer: command pools are not thread-safe, and renderers on different
    // threads record at the same time.
    VkCommandPoolCreateInfo poolInfo{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    poolInfo.flags = VK_COMMAND_POOL_CREATE_TRANSIENT_BIT;
    poolInfo.queueFamilyIndex = device_->queueFamily_;
    VkCommandPool pool;
    checkVk(vkCreateCommandPool(vk, &poolInfo, nullptr, &pool), "vkCreateCommandPool");
    pool_ = VulkanHandle<VkCommandPool>(vk, pool, vkDestroyCommandPool);
    VkFenceCreateInfo fenceInfo{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
    VkFence fence;
    checkVk(vkCreateFence(vk, &fenceInfo, nullptr, &fence), "vkCreateFence");
    fence_ = VulkanHandle<VkFence>(vk, fence, vkDestroyFence);
    begin();
    if (device_->timestamps_) {
        VkQueryPoolCreateInfo queryInfo{VK_STRUCTURE_TYPE_QUERY_POOL_CREATE_INFO};
        queryInfo.queryType = VK_QUERY_TYPE_TIMESTAMP;
        queryInfo.queryCount = 2;
        VkQueryPool queries;
        checkVk(vkCreateQueryPool(vk, &queryInfo, nullptr, &queries), "vkCreateQueryPool");
        queries_ = VulkanHandle<VkQueryPool>(vk, queries, vkDestroyQueryPool);
        vkCmdResetQueryPool(cmd_, queries, 0, 2);
        vkCmdWriteTimestamp2(cmd_, VK_PIPELINE_STAGE_2_TOP_OF_PIPE_BIT, queries, 0);
    }
}

void GpuCommandBuffer::begin()
{
    VkCommandBufferAllocateInfo alloc{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
    alloc.commandPool = pool_.get();
    alloc.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    alloc.commandBufferCount = 1;
    checkVk(vkAllocateCommandBuffers(device_->vk(), &alloc, &cmd_), "vkAllocateCommandBuffers");
    device_->setName(VK_OBJECT_TYPE_COMMAND_BUFFER, uint64_t(cmd_), label_);
    VkCommandBufferBeginInfo info{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
    info.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    checkVk(vkBeginCommandBuffer(cmd_, &info), "vkBeginCommandBuffer");
}

void GpuCommandBuffer::timeStages(std::shared_ptr<std::vector<StageTime>> record)
{
    stageTimes_ = std::move(record);
    lastMark_ = std::chrono::steady_clock::now();
}

void GpuCommandBuffer::mark(const char* stage)
{
    if (!stageTimes_) return;
    if (rendering_) throw GpuError("stage mark inside rendering");
    auto recorded = std::chrono::steady_clock::now();
    checkVk(vkEndCommandBuffer(cmd_), "vkEndCommandBuffer");
    VkFence fence = fence_.get();
    std::chrono::steady_clock::time_point submitted;
    const std::int64_t processorBefore = processProcessorNanos();
    checkVk(device_->queueSubmit(cmd_, fence, {}, {}, submitted), "vkQueueSubmit2");
    checkVk(vkWaitForFences(device_->vk(), 1, &fence, VK_TRUE, UINT64_MAX), "vkWaitForFences");
    auto ran = std::chrono::steady_clock::now();
    const double processorMs = double(processProcessorNanos() - processorBefore) * 1e-6;
    checkVk(vkResetFences(device_->vk(), 1, &fence), "vkResetFences");
    double run = std::chrono::duration<double>(ran - submitted).count();
    stageTimes_->push_back(
        {stage, std::chrono::duration<double, std::milli>(recorded - lastMark_).count(), run * 1e3, processorMs});
    timedSeconds_ += run;
    // The next piece starts without state: every pass binds its own pipeline.
    begin();
    pipeline_.reset();
    bound_.clear();
    lastMark_ = std::chrono::steady_clock::now();
}

GpuCommandBuffer::~GpuCommandBuffer()
{
    // A buffer dropped while recording was never submitted; a submitted one is kept alive by the
    // device until it completes, so the pool is idle here.
}

void GpuCommandBuffer::beginPass()
{
    // Orders this pass after every earlier pass and every earlier submission on the queue.
    VkMemoryBarrier2 barrier{VK_STRUCTURE_TYPE_MEMORY_BARRIER_2};
    barrier.srcStageMask = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT;
    barrier.srcAccessMask = VK_ACCESS_2_MEMORY_WRITE_BIT;
    barrier.dstStageMask = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT;
    barrier.dstAccessMask = VK_ACCESS_2_MEMORY_READ_BIT | VK_ACCESS_2_MEMORY_WRITE_BIT;
    VkDependencyInfo dependency{VK_STRUCTURE_TYPE_DEPENDENCY_INFO};
    dependency.memoryBarrierCount = 1;
    dependency.pMemoryBarriers = &barrier;
    vkCmdPipelineBarrier2(cmd_, &dependency);
}

void GpuCommandBuffer::setComputePipeline(std::shared_ptr<GpuPipeline> pipeline)
{
    if (!pipeline->isCompute()) throw GpuError("not a compute pipeline");
    vkCmdBindPipeline(cmd_, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline->vk());
    pipeline_ = std::move(pipeline);
    bound_.assign(pipeline_->bindings().size(), Bound{});
    retained_.push_back(pipeline_);
}

void GpuCommandBuffer::setRenderPipeline(std::shared_ptr<GpuPipeline> pipeline)
{
    if (pipeline->isCompute()) throw GpuError("not a render pipeline");
    if (!rendering_) throw GpuError("render pipeline set outside rendering");
    vkCmdBindPipeline(cmd_, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline->vk());
    pipeline_ = std::move(pipeline);
    bound_.assign(pipeline_->bindings().size(), Bound{});
    retained_.push_back(pipeline_);
}

void GpuCommandBuffer::setBytes(const void* data, uint32_t bytes)
{
    if (!pipeline_) throw GpuError("bytes set without a pipeline");
    if (bytes > pipeline_->pushConstantBytes()) throw GpuError("inline bytes larger than the pipeline takes");
    VkShaderStageFlags stages = pipeline_->isCompute() ? VK_SHADER_STAGE_COMPUTE_BIT
                                                       : VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT;
    vkCmdPushConstants(cmd_, pipeline_->layout(), stages, 0, bytes, data);
}

void GpuCommandBuffer::setImage(uint32_t binding, std::shared_ptr<GpuImage> image)
{
    if (!pipeline_ || binding >= bound_.size()) throw GpuError("image bound to a binding the pipeline lacks");
    retained_.push_back(image);
    bound_[binding] = Bound{std::move(image), nullptr};
}

void GpuCommandBuffer::setBuffer(uint32_t binding, std::shared_ptr<GpuBuffer> buffer)
{
    if (!pipeline_ || binding >= bound_.size()) throw GpuError("buffer bound to a binding the pipeline lacks");
    retained_.push_back(buffer);
    bound_[binding] = Bound{nullptr, std::move(buffer)};
}

void GpuCommandBuffer::flushBindings()
{
    const auto& kinds = pipeline_->bindings();
    std::vector<VkWriteDescriptorSet> writes(kinds.size());
    std::vector<VkDescriptorImageInfo> images(kinds.size());
    std::vector<VkDescriptorBufferInfo> buffers(kinds.size());
    std::vector<VkBufferView> views(kinds.size());
    for (uint32_t i = 0; i < kinds.size(); ++i) {
        VkWriteDescriptorSet& w = writes[i];
        w = {VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
        w.dstBinding = i;
        w.descriptorCount = 1;
        switch (kinds[i]) {
        case GpuBinding::storageImage:
        case GpuBinding::sampledImage:
            if (!bound_[i].image) throw GpuError("pass with image binding " + std::to_string(i) + " unset");
            images[i].imageView = bound_[i].image->view();
            images[i].imageLayout = VK_IMAGE_LAYOUT_GENERAL;
            images[i].sampler = device_->linearSampler();
            w.descriptorType = kinds[i] == GpuBinding::storageImage ? VK_DESCRIPTOR_TYPE_STORAGE_IMAGE
                                                                    : VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
            w.pImageInfo = &images[i];
            break;
        case GpuBinding::storageBuffer:
            if (!bound_[i].buffer) throw GpuError("pass with buffer binding " + std::to_string(i) + " unset");
            buffers[i] = {bound_[i].buffer->vk(), 0, VK_WHOLE_SIZE};
            w.descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
            w.pBufferInfo = &buffers[i];
            break;
        case GpuBinding::texelBuffer:
        case GpuBinding::wideTexelBuffer:
            if (!bound_[i].buffer) throw GpuError("pass with buffer binding " + std::to_string(i) + " unset");
            views[i] =
                kinds[i] == GpuBinding::texelBuffer ? bound_[i].buffer->texelView() : bound_[i].buffer->wideTexelView();
            w.descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_TEXEL_BUFFER;
            w.pTexelBufferView = &views[i];
            break;
        }
    }
    if (!writes.empty())
        device_->pushDescriptorSet(
            cmd_, pipeline_->isCompute() ? VK_PIPELINE_BIND_POINT_COMPUTE : VK_PIPELINE_BIND_POINT_GRAPHICS,
            pipeline_->layout(), 0, uint32_t(writes.size()), writes.data());
}

void GpuCommandBuffer::dispatch(uint32_t groupsX, uint32_t groupsY)
{
    if (!pipeline_ || !pipeline_->isCompute() || rendering_) throw GpuError("dispatch without a compute pipeline");
    // The barrier must come before the pipeline's state is used; binding state survives barriers.
    beginPass();
    flushBindings();
    vkCmdDispatch(cmd_, groupsX, groupsY, 1);
}

void GpuCommandBuffer::beginRendering(std::shared_ptr<GpuImage> target)
{
    if (rendering_) throw GpuError("rendering already begun");
    beginPass();
    VkRenderingAttachmentInfo attachment{VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO};
    attachment.imageView = target->view();
    attachment.imageLayout = VK_IMAGE_LAYOUT_GENERAL;
    attachment.loadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
    attachment.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
    VkRenderingInfo info{VK_STRUCTURE_TYPE_RENDERING_INFO};
    info.renderArea = {{0, 0}, {uint32_t(target->width()), uint32_t(target->height())}};
    info.layerCount = 1;
    info.colorAttachmentCount = 1;
    info.pColorAttachments = &attachment;
    vkCmdBeginRendering(cmd_, &info);
    VkViewport viewport{0, 0, float(target->width()), float(target->height()), 0, 1};
    vkCmdSetViewport(cmd_, 0, 1, &viewport);
    VkRect2D scissor = info.renderArea;
    vkCmdSetScissor(cmd_, 0, 1, &scissor);
    retained_.push_back(target);
    rendering_ = true;
    pipeline_.reset();
}

void GpuCommandBuffer::draw(uint32_t vertexCount)
{
    if (!rendering_ || !pipeline_) throw GpuError("draw without a render pipeline");
    flushBindings();
    vkCmdDraw(cmd_, vertexCount, 1, 0, 0);
}

void GpuCommandBuffer::endRendering()
{
    if (!rendering_) throw GpuError("rendering not begun");
    vkCmdEndRendering(cmd_);
    rendering_ = false;
    pipeline_.reset();
}

void GpuCommandBuffer::copyImage(std::shared_ptr<GpuImage> source, std::shared_ptr<GpuImage> destination)
{
    if (rendering_) throw GpuError("copy inside rendering");
    if (source->width() != destination->width() || source->height() != destination->height() ||
        source->format() != destination->format())
        throw GpuError("copy between images of different size or format");
    beginPass();
    VkImageCopy region{};
    region.srcSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    region.dstSubresource = region.srcSubresource;
    region.extent = {uint32_t(source->width()), uint32_t(source->height()), 1};
    vkCmdCopyImage(cmd_, source->vk(), VK_IMAGE_LAYOUT_GENERAL, destination->vk(), VK_IMAGE_LAYOUT_GENERAL, 1, &region);
    retained_.push_back(source);
    retained_.push_back(destination);
}

void GpuCommandBuffer::copyImageToBuffer(std::shared_ptr<GpuImage> source, std::shared_ptr<GpuBuffer> destination)
{
    if (rendering_) throw GpuError("copy inside rendering");
    if (destination->size() < size_t(source->width()) * source->height() * source->bytesPerPixel())
        throw GpuError("read-back buffer too small");
    beginPass();
    VkBufferImageCopy region{};
    region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    region.imageExtent = {uint32_t(source->width()), uint32_t(source->height()), 1};
    vkCmdCopyImageToBuffer(cmd_, source->vk(), VK_IMAGE_LAYOUT_GENERAL, destination->vk(), 1, &region);
    // Makes the copy visible to the host once the fence signals.
    VkMemoryBarrier2 barrier{VK_STRUCTURE_TYPE_MEMORY_BARRIER_2};
    barrier.srcStageMask = VK_PIPELINE_STAGE_2_COPY_BIT;
    barrier.srcAccessMask = VK_ACCESS_2_TRANSFER_WRITE_BIT;
    barrier.dstStageMask = VK_PIPELINE_STAGE_2_HOST_BIT;
    barrier.dstAccessMask = VK_ACCESS_2_HOST_READ_BIT;
    VkDependencyInfo dependency{VK_STRUCTURE_TYPE_DEPENDENCY_INFO};
    dependency.memoryBarrierCount = 1;
    dependency.pMemoryBarriers = &barrier;
    vkCmdPipelineBarrier2(cmd_, &dependency);
    retained_.push_back(source);
    retained_.push_back(destination);
}

void GpuCommandBuffer::addCompletedHandler(std::function<void(GpuCommandBuffer&)> handler)
{
    std::lock_guard lock(mutex_);
    handlers_.push_back(std::move(handler));
}

void GpuCommandBuffer::encodeRaw(const std::function<void(VkCommandBuffer)>& record)
{
    if (rendering_) endRendering();
    beginPass();
    record(cmd_);
}

void GpuCommandBuffer::waitForSemaphore(VkSemaphore semaphore, VkPipelineStageFlags2 stage)
{
    VkSemaphoreSubmitInfo info{VK_STRUCTURE_TYPE_SEMAPHORE_SUBMIT_INFO};
    info.semaphore = semaphore;
    info.stageMask = stage;
    waits_.push_back(info);
}

void GpuCommandBuffer::signalSemaphore(VkSemaphore semaphore)
{
    VkSemaphoreSubmitInfo info{VK_STRUCTURE_TYPE_SEMAPHORE_SUBMIT_INFO};
    info.semaphore = semaphore;
    info.stageMask = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT;
    signals_.push_back(info);
}

void GpuCommandBuffer::retain(std::shared_ptr<void> object) { retained_.push_back(std::move(object)); }

void GpuCommandBuffer::commit()
{
    {
        std::lock_guard lock(mutex_);
        if (status_ != Status::recording) throw GpuError("command buffer committed twice");
        status_ = Status::committed;
    }
    if (rendering_) endRendering();
    if (queries_) vkCmdWriteTimestamp2(cmd_, VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT, queries_.get(), 1);
    VkResult result = vkEndCommandBuffer(cmd_);
    if (result != VK_SUCCESS) {
        finish(false, "command buffer recording failed (VkResult " + std::to_string(result) + ")");
        return;
    }
    // The device keeps the buffer (and so everything it retains) alive until the GPU is done with it.
    device_->submit(shared_from_this());
}

void GpuCommandBuffer::finish(bool ok, const std::string& error)
{
    std::vector<std::function<void(GpuCommandBuffer&)>> handlers;
    {
        std::lock_guard lock(mutex_);
        error_ = error;
        handlers.swap(handlers_);
    }
    for (auto& handler : handlers) handler(*this);
    {
        std::lock_guard lock(mutex_);
        status_ = ok ? Status::completed : Status::error;
        retained_.clear();
        pipeline_.reset();
        bound_.clear();
    }
    done_.notify_all();
}

void GpuCommandBuffer::waitUntilCompleted()
{
    std::unique_lock lock(mutex_);
    if (status_ == Status::recording) throw GpuError("waiting on a command buffer that was not committed");
    done_.wait(lock, [&] { return status_ == Status::completed || status_ == Status::error; });
}

GpuCommandBuffer::Status GpuCommandBuffer::status() const
{
    std::lock_guard lock(mutex_);
    return status_;
}

} // namespace veltrane
