#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include "Platform/Gpu/GpuDevice.h"

namespace veltrane {

namespace {

int deviceRank(VkPhysicalDeviceType type)
{
    switch (type) {
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return 0;
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return 1;
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return 2;
    case VK_PHYSICAL_DEVICE_TYPE_CPU: return 3;
    default: return 4;
    }
}

bool hasExtension(VkPhysicalDevice device, const char* name)
{
    uint32_t count = 0;
    vkEnumerateDeviceExtensionProperties(device, nullptr, &count, nullptr);
    std::vector<VkExtensionProperties> props(count);
    vkEnumerateDeviceExtensionProperties(device, nullptr, &count, props.data());
    for (auto& p : props)
        if (std::strcmp(p.extensionName, name) == 0) return true;
    return false;
}

// Set by the completion loop while it lets a command buffer go: the destructor, when it runs within
// that, tells the loop through it that the device is gone.
thread_local bool* destroyedOnThisThread = nullptr;

// The program's exit waits (a few seconds at most) for the GPU work submitted and not yet completed:
// the Vulkan loader and driver take their own state down as the process ends, and the completion of
// that work would use it, as would the device's teardown when the work held its last reference (a
// thread nobody joins). Work is counted done once its completion, teardown included, has returned.
// A plain atomic, as the wait runs among the exit handlers.
std::atomic<int> workInFlight{0};
std::once_flag exitWaitRegistered;

void waitForGpuWork()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (workInFlight.load(std::memory_order_acquire) > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool instanceHasLayer(const char* name)
{
    uint32_t count = 0;
    vkEnumerateInstanceLayerProperties(&count, nullptr);
    std::vector<VkLayerProperties> layers(count);
    vkEnumerateInstanceLayerProperties(&count, layers.data());
    for (auto& l : layers)
        if (std::strcmp(l.layerName, name) == 0) return true;
    return false;
}

// Pipeline-cache data goes back to a driver only with a whole version-one header naming this vendor,
// device and cache UUID: Vulkan leaves that check to the program, and a driver may crash on data it
// did not write.
bool pipelineCacheHeaderMatches(const std::vector<uint8_t>& data, const VkPhysicalDeviceProperties& device)
{
    VkPipelineCacheHeaderVersionOne header;
    static_assert(sizeof header == 32);
    if (data.size() < sizeof header) return false;
    std::memcpy(&header, data.data(), sizeof header);
    return header.headerSize >= sizeof header && header.headerSize <= data.size() &&
           header.headerVersion == VK_PIPELINE_CACHE_HEADER_VERSION_ONE && header.vendorID == device.vendorID &&
           header.deviceID == device.deviceID &&
           std::memcmp(header.pipelineCacheUUID, device.pipelineCacheUUID, VK_UUID_SIZE) == 0;
}

} // namespace

std::shared_ptr<GpuDevice> GpuDevice::create(const GpuDeviceOptions& options)
{
    std::shared_ptr<GpuDevice> device(new GpuDevice());
    device->createInstance(options);
    device->choosePhysicalDevice(options);
    device->createLogicalDevice();
    device->createSampler();
    device->createPipelineCache();
    device->startCompletionThread();
    return device;
}

namespace {

struct SharedDevice {
    std::mutex mutex;
    GpuDeviceOptions options;
    std::shared_ptr<GpuDevice> device;
    bool tried = false;
    std::exception_ptr error;
};

SharedDevice& sharedDevice()
{
    static SharedDevice shared;
    return shared;
}

} // namespace

bool GpuDevice::configureSystemDefault(const GpuDeviceOptions& options)
{
    SharedDevice& shared = sharedDevice();
    std::lock_guard lock(shared.mutex);
    if (shared.tried) return false;
    shared.options = options;
    return true;
}

std::shared_ptr<GpuDevice> GpuDevice::systemDefaultOrThrow()
{
    SharedDevice& shared = sharedDevice();
    std::lock_guard lock(shared.mutex);
    if (!shared.tried) {
        shared.tried = true;
        try {
            shared.device = create(shared.options);
        } catch (const GpuError& error) {
            shared.error = std::current_exception();
            std::fprintf(stderr, "GPU unavailable: %s\n", error.what());
        }
    }
    if (!shared.device && shared.error) std::rethrow_exception(shared.error);
    return shared.device;
}

std::shared_ptr<GpuDevice> GpuDevice::systemDefault()
{
    try {
        return systemDefaultOrThrow();
    } catch (const GpuError&) {
        return nullptr;
    }
}

VKAPI_ATTR VkBool32 VKAPI_CALL GpuDevice::debugCallback(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                                        VkDebugUtilsMessageTypeFlagsEXT,
                                                        const VkDebugUtilsMessengerCallbackDataEXT* data, void* user)
{
    auto* self = static_cast<GpuDevice*>(user);
    const char* text = data && data->pMessage ? data->pMessage : "";
    if (severity & (VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT)) {
        std::fprintf(stderr, "vulkan validation: %s\n", text);
        if (severity & VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT) {
            std::lock_guard lock(self->messagesMutex_);
            self->errors_.emplace_back(text);
        }
    }
    return VK_FALSE;
}

void GpuDevice::createInstance(const GpuDeviceOptions& options)
{
    VkApplicationInfo app{VK_STRUCTURE_TYPE_APPLICATION_INFO};
    app.pApplicationName = "Veltrane";
    app.pEngineName = "Veltrane";
    app.apiVersion = VK_API_VERSION_1_3;

    std::vector<const char*> layers;
    std::vector<const char*> extensions;
    for (const std::string& name : options.instanceExtensions) extensions.push_back(name.c_str());
    wantsSwapchain_ = !options.instanceExtensions.empty();
    bool validation = options.validation && instanceHasLayer("VK_LAYER_KHRONOS_validation");
    if (options.validation && !validation) throw GpuError("Vulkan validation layer not installed");
    if (validation) {
        layers.push_back("VK_LAYER_KHRONOS_validation");
        extensions.push_back(VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
        extensions.push_back(VK_EXT_VALIDATION_FEATURES_EXTENSION_NAME);
    }
    VkValidationFeatureEnableEXT enables[] = {VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT};
    VkValidationFeaturesEXT features{VK_STRUCTURE_TYPE_VALIDATION_FEATURES_EXT};
    features.enabledValidationFeatureCount = 1;
    features.pEnabledValidationFeatures = enables;

    VkDebugUtilsMessengerCreateInfoEXT messengerInfo{VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT};
    messengerInfo.messageSeverity =
        VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT;
    messengerInfo.messageType =
        VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT;
    // Performance advice is left out: images stay in the GENERAL layout on purpose.
    messengerInfo.pfnUserCallback = &GpuDevice::debugCallback;
    messengerInfo.pUserData = this;
    features.pNext = &messengerInfo;

    VkInstanceCreateInfo instanceInfo{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
    instanceInfo.pApplicationInfo = &app;
    instanceInfo.enabledLayerCount = uint32_t(layers.size());
    instanceInfo.ppEnabledLayerNames = layers.data();
    instanceInfo.enabledExtensionCount = uint32_t(extensions.size());
    instanceInfo.ppEnabledExtensionNames = extensions.data();
    if (validation) instanceInfo.pNext = &features;
    // No driver at all shows up as VK_ERROR_INCOMPATIBLE_DRIVER: that, like an empty device list, is
    // "no device".
    VkInstance instance = VK_NULL_HANDLE;
    if (vkCreateInstance(&instanceInfo, nullptr, &instance) != VK_SUCCESS) throw GpuNoDeviceError();
    instance_ = VulkanInstance(instance);
    if (validation) {
        auto createMessenger = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
            vkGetInstanceProcAddr(instance, "vkCreateDebugUtilsMessengerEXT"));
        auto destroyMessenger = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
            vkGetInstanceProcAddr(instance, "vkDestroyDebugUtilsMessengerEXT"));
        VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
        if (createMessenger && destroyMessenger &&
            createMessenger(instance, &messengerInfo, nullptr, &messenger) == VK_SUCCESS)
            messenger_ = VulkanMessenger(instance, messenger, destroyMessenger);
        setObjectName_ = reinterpret_cast<PFN_vkSetDebugUtilsObjectNameEXT>(
            vkGetInstanceProcAddr(instance, "vkSetDebugUtilsObjectNameEXT"));
    }
}

// The best device for the renderer: a discrete GPU before an integrated, virtual or CPU one (the CPU
// one first when asked for), with Vulkan 1.3 and push descriptors. Reads its limits and its queue.
void GpuDevice::choosePhysicalDevice(const GpuDeviceOptions& options)
{
    uint32_t count = 0;
    vkEnumeratePhysicalDevices(instance_.get(), &count, nullptr);
    std::vector<VkPhysicalDevice> devices(count);
    vkEnumeratePhysicalDevices(instance_.get(), &count, devices.data());
    int bestRank = 99;
    for (VkPhysicalDevice candidate : devices) {
        VkPhysicalDeviceProperties props;
        vkGetPhysicalDeviceProperties(candidate, &props);
        if (props.apiVersion < VK_API_VERSION_1_3) continue;
        if (!hasExtension(candidate, VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME)) continue;
        int rank = deviceRank(props.deviceType);
        // A device that cannot present comes after every one that can, when presenting is wanted.
        if (wantsSwapchain_ && !hasExtension(candidate, VK_KHR_SWAPCHAIN_EXTENSION_NAME)) rank += 10;
        if (options.preferCpu && props.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU) rank = -1;
        if (rank < bestRank) {
            bestRank = rank;
            physical_ = candidate;
        }
    }
    if (physical_ == VK_NULL_HANDLE) throw GpuNoDeviceError();

    VkPhysicalDeviceVulkan11Properties v11{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_1_PROPERTIES};
    VkPhysicalDeviceProperties2 props2{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2};
    props2.pNext = &v11;
    vkGetPhysicalDeviceProperties2(physical_, &props2);
    properties_ = props2.properties;
    const VkPhysicalDeviceProperties& props = properties_;
    maxImageSide_ = props.limits.maxImageDimension2D;
    maxAllocationBytes_ =
        std::min<uint64_t>(v11.maxMemoryAllocationSize, options.maxAllocationBytes.value_or(UINT64_MAX));
    name_ = props.deviceName;
    cpu_ = props.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU;
    timestampPeriod_ = props.limits.timestampPeriod;
    maxTexelBufferElements_ = props.limits.maxTexelBufferElements;
    vkGetPhysicalDeviceMemoryProperties(physical_, &memory_);

    uint32_t familyCount = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(physical_, &familyCount, nullptr);
    std::vector<VkQueueFamilyProperties> families(familyCount);
    vkGetPhysicalDeviceQueueFamilyProperties(physical_, &familyCount, families.data());
    bool found = false;
    for (uint32_t i = 0; i < familyCount; ++i) {
        if ((families[i].queueFlags & VK_QUEUE_GRAPHICS_BIT) && (families[i].queueFlags & VK_QUEUE_COMPUTE_BIT)) {
            queueFamily_ = i;
            found = true;
            timestamps_ = !cpu_ && families[i].timestampValidBits > 0;
            break;
        }
    }
    if (!found) throw GpuNoDeviceError();
}

void GpuDevice::createLogicalDevice()
{
    float priority = 1.0f;
    VkDeviceQueueCreateInfo queueInfo{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
    queueInfo.queueFamilyIndex = queueFamily_;
    queueInfo.queueCount = 1;
    queueInfo.pQueuePriorities = &priority;

    VkPhysicalDeviceVulkan13Features v13{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES};
    v13.dynamicRendering = VK_TRUE;
    v13.synchronization2 = VK_TRUE;
    VkPhysicalDeviceFeatures2 features2{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
    features2.pNext = &v13;
    // Storage images written without a format qualifier in the shaders need this.
    VkPhysicalDeviceFeatures2 supported{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
    vkGetPhysicalDeviceFeatures2(physical_, &supported);
    features2.features.shaderStorageImageWriteWithoutFormat = supported.features.shaderStorageImageWriteWithoutFormat;
    features2.features.shaderFloat64 = supported.features.shaderFloat64;
    float64_ = supported.features.shaderFloat64 == VK_TRUE;

    std::vector<const char*> deviceExtensions = {VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME};
    swapchain_ = wantsSwapchain_ && hasExtension(physical_, VK_KHR_SWAPCHAIN_EXTENSION_NAME);
    if (swapchain_) deviceExtensions.push_back(VK_KHR_SWAPCHAIN_EXTENSION_NAME);
    VkDeviceCreateInfo deviceInfo{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
    deviceInfo.pNext = &features2;
    deviceInfo.queueCreateInfoCount = 1;
    deviceInfo.pQueueCreateInfos = &queueInfo;
    deviceInfo.enabledExtensionCount = uint32_t(deviceExtensions.size());
    deviceInfo.ppEnabledExtensionNames = deviceExtensions.data();
    VkDevice device = VK_NULL_HANDLE;
    if (vkCreateDevice(physical_, &deviceInfo, nullptr, &device) != VK_SUCCESS) throw GpuNoDeviceError();
    deviceOwner_ = VulkanDevice(device);
    device_ = device;
    vkGetDeviceQueue(device_, queueFamily_, 0, &queue_);
    pushDescriptorSet =
        reinterpret_cast<PFN_vkCmdPushDescriptorSetKHR>(vkGetDeviceProcAddr(device_, "vkCmdPushDescriptorSetKHR"));
    if (!pushDescriptorSet) throw GpuNoDeviceError();
}

void GpuDevice::createSampler()
{
    VkSamplerCreateInfo samplerInfo{VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO};
    samplerInfo.magFilter = VK_FILTER_LINEAR;
    samplerInfo.minFilter = VK_FILTER_LINEAR;
    samplerInfo.mipmapMode = VK_SAMPLER_MIPMAP_MODE_NEAREST;
    samplerInfo.addressModeU = samplerInfo.addressModeV = samplerInfo.addressModeW =
        VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
    VkSampler sampler;
    checkVk(vkCreateSampler(device_, &samplerInfo, nullptr, &sampler), "vkCreateSampler");
    sampler_ = VulkanHandle<VkSampler>(device_, sampler, vkDestroySampler);
}

// The cache is keyed by everything that decides whether a driver can use it: vendor, device, driver
// and its version, and the cache UUID the driver reports. Its file is read and checked here; a
// missing, foreign or damaged one leaves an empty cache.
void GpuDevice::createPipelineCache()
{
    VkPhysicalDeviceVulkan12Properties v12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_PROPERTIES};
    VkPhysicalDeviceProperties2 props2{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2};
    props2.pNext = &v12;
    vkGetPhysicalDeviceProperties2(physical_, &props2);
    pipelineCacheKey_ = GpuDiskCache::Hasher()
                            .number(properties_.vendorID)
                            .number(properties_.deviceID)
                            .number(uint64_t(v12.driverID))
                            .number(properties_.driverVersion)
                            .bytes(properties_.pipelineCacheUUID, VK_UUID_SIZE)
                            .digest();
    char name[32];
    std::snprintf(name, sizeof name, "%04x-%04x.", properties_.vendorID, properties_.deviceID);
    pipelineCacheFile_ =
        GpuDiskCache::folder(GpuDiskCache::Kind::pipelines) / (name + pipelineCacheKey_.hex() + ".bin");

    auto make = [&](const std::vector<uint8_t>* data) {
        VkPipelineCacheCreateInfo info{VK_STRUCTURE_TYPE_PIPELINE_CACHE_CREATE_INFO};
        info.initialDataSize = data ? data->size() : 0;
        info.pInitialData = data ? data->data() : nullptr;
        VkPipelineCache cache = VK_NULL_HANDLE;
        if (vkCreatePipelineCache(device_, &info, nullptr, &cache) != VK_SUCCESS) return false;
        pipelineCache_ = VulkanHandle<VkPipelineCache>(device_, cache, vkDestroyPipelineCache);
        return true;
    };
    auto data = GpuDiskCache::read(pipelineCacheFile_, GpuDiskCache::Kind::pipelines, pipelineCacheKey_);
    if (data && pipelineCacheHeaderMatches(*data, properties_) && make(&*data)) {
        pipelineCacheStats_.loaded = true;
        return;
    }
    // Without a cache every pipeline is still made, only from scratch.
    if (!make(nullptr)) pipelineCache_ = {};
}

void GpuDevice::notePipelineCreated(const VkPipelineCreationFeedback& feedback)
{
    std::lock_guard lock(pipelineCacheMutex_);
    bool hit = (feedback.flags & VK_PIPELINE_CREATION_FEEDBACK_VALID_BIT) &&
               (feedback.flags & VK_PIPELINE_CREATION_FEEDBACK_APPLICATION_PIPELINE_CACHE_HIT_BIT);
    if (hit)
        ++pipelineCacheStats_.hits;
    else
        ++pipelineCacheStats_.builds;
}

GpuDevice::PipelineCacheStats GpuDevice::pipelineCacheStats() const
{
    std::lock_guard lock(pipelineCacheMutex_);
    return pipelineCacheStats_;
}

void GpuDevice::savePipelineCache() noexcept
{
    // Saves take turns; the statistics' lock is held only briefly, so pipelines made meanwhile (which
    // the driver's cache handles itself) never wait for a file to be written.
    std::lock_guard saving(pipelineSaveMutex_);
    int builds = 0;
    {
        std::lock_guard lock(pipelineCacheMutex_);
        builds = pipelineCacheStats_.builds;
    }
    if (!pipelineCache_ || builds == buildsSaved_) return;
    size_t size = 0;
    if (vkGetPipelineCacheData(device_, pipelineCache_.get(), &size, nullptr) != VK_SUCCESS) return;
    std::vector<uint8_t> data;
    try {
        data.resize(size);
    } catch (const std::bad_alloc&) {
        return;
    }
    if (vkGetPipelineCacheData(device_, pipelineCache_.get(), &size, data.data()) != VK_SUCCESS) return;
    data.resize(size);
    if (GpuDiskCache::write(pipelineCacheFile_, GpuDiskCache::Kind::pipelines, pipelineCacheKey_, data)) {
        buildsSaved_ = builds;
        // The files of earlier drivers of this device are of no use any more.
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%04x-%04x.", properties_.vendorID, properties_.deviceID);
        GpuDiskCache::removeOthers(pipelineCacheFile_, prefix);
    }
}

void GpuDevice::startCompletionThread()
{
    std::call_once(exitWaitRegistered, [] { std::atexit(waitForGpuWork); });
    completionThread_ = std::thread([this] { completionLoop(); });
}

GpuDevice::~GpuDevice()
{
    if (completionThread_.joinable()) {
        {
            std::lock_guard lock(flightMutex_);
            stopping_ = true;
        }
        flightChanged_.notify_all();
        if (completionThread_.get_id() == std::this_thread::get_id()) {
            // The last reference went with a command buffer the loop completed: the loop returns as soon as
            // this destructor has run, and a thread cannot wait for itself.
            if (destroyedOnThisThread) *destroyedOnThisThread = true;
            completionThread_.detach();
        } else {
            completionThread_.join();
        }
    }
    if (device_) vkDeviceWaitIdle(device_);
    // The members go now: the sampler, the device, the messenger, the instance.
}

VulkanHandle<VkDeviceMemory> GpuDevice::allocateMemory(const VkMemoryRequirements& requirements,
                                                       VkMemoryPropertyFlags wanted) const
{
    // Past the limit the driver may fail in its own way or not at all: refused here, with the sizes.
    if (requirements.size > maxAllocationBytes_)
        throw GpuError(std::to_string(requirements.size) + " bytes in one allocation, more than the device's " +
                       std::to_string(maxAllocationBytes_));
    for (uint32_t i = 0; i < memory_.memoryTypeCount; ++i) {
        if (!(requirements.memoryTypeBits & (1u << i)) || (memory_.memoryTypes[i].propertyFlags & wanted) != wanted)
            continue;
        VkMemoryAllocateInfo alloc{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
        alloc.allocationSize = requirements.size;
        alloc.memoryTypeIndex = i;
        VkDeviceMemory memory;
        checkVk(vkAllocateMemory(device_, &alloc, nullptr, &memory), "vkAllocateMemory");
        return VulkanHandle<VkDeviceMemory>(device_, memory, vkFreeMemory);
    }
    throw GpuError("no suitable GPU memory type");
}

void GpuDevice::setName(VkObjectType type, uint64_t handle, const std::string& name) const
{
    if (!setObjectName_ || name.empty()) return;
    VkDebugUtilsObjectNameInfoEXT info{VK_STRUCTURE_TYPE_DEBUG_UTILS_OBJECT_NAME_INFO_EXT};
    info.objectType = type;
    info.objectHandle = handle;
    info.pObjectName = name.c_str();
    setObjectName_(device_, &info);
}

int GpuDevice::validationErrorCount() const
{
    std::lock_guard lock(messagesMutex_);
    return int(errors_.size());
}

std::vector<std::string> GpuDevice::validationErrors() const
{
    std::lock_guard lock(messagesMutex_);
    return errors_;
}

std::shared_ptr<GpuBuffer> GpuDevice::makeBuffer(size_t bytes, const std::string& label)
{
    return std::make_shared<GpuBuffer>(shared_from_this(), bytes, label);
}

std::shared_ptr<GpuImage> GpuDevice::makeImage(const GpuImageDesc& desc)
{
    auto image = std::make_shared<GpuImage>(shared_from_this(), desc);
    // Every image lives in the GENERAL layout. The transition is submitted now; the barrier that opens
    // every later pass orders it before any use.
    auto cb = makeCommandBuffer("layout " + desc.label);
    VkImageMemoryBarrier2 barrier{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2};
    barrier.srcStageMask = VK_PIPELINE_STAGE_2_NONE;
    barrier.dstStageMask = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT;
    barrier.dstAccessMask = VK_ACCESS_2_MEMORY_READ_BIT | VK_ACCESS_2_MEMORY_WRITE_BIT;
    barrier.oldLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    barrier.newLayout = VK_IMAGE_LAYOUT_GENERAL;
    barrier.srcQueueFamilyIndex = barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.image = image->vk();
    barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    VkDependencyInfo dependency{VK_STRUCTURE_TYPE_DEPENDENCY_INFO};
    dependency.imageMemoryBarrierCount = 1;
    dependency.pImageMemoryBarriers = &barrier;
    vkCmdPipelineBarrier2(cb->cmd_, &dependency);
    cb->retained_.push_back(image);
    cb->commit();
    return image;
}

std::shared_ptr<GpuPipeline> GpuDevice::makeComputePipeline(const GpuComputePipelineDesc& desc)
{
    return std::make_shared<GpuPipeline>(shared_from_this(), desc);
}

std::shared_ptr<GpuPipeline> GpuDevice::makeRenderPipeline(const GpuRenderPipelineDesc& desc)
{
    return std::make_shared<GpuPipeline>(shared_from_this(), desc);
}

std::shared_ptr<GpuCommandBuffer> GpuDevice::makeCommandBuffer(const std::string& label)
{
    return std::make_shared<GpuCommandBuffer>(shared_from_this(), label);
}

std::vector<uint8_t> GpuDevice::readImage(const std::shared_ptr<GpuImage>& image)
{
    size_t bytes = size_t(image->width()) * size_t(image->height()) * image->bytesPerPixel();
    auto buffer = makeBuffer(bytes, "read-back " + image->label());
    auto cb = makeCommandBuffer("read-back");
    cb->copyImageToBuffer(image, buffer);
    cb->commit();
    cb->waitUntilCompleted();
    if (cb->status() != GpuCommandBuffer::Status::completed) throw GpuError(cb->errorText());
    const auto* data = static_cast<const uint8_t*>(buffer->contents());
    return std::vector<uint8_t>(data, data + bytes);
}

VkResult GpuDevice::present(const VkPresentInfoKHR& info)
{
    if (!swapchain_) return VK_ERROR_EXTENSION_NOT_PRESENT;
    std::lock_guard lock(submitMutex_);
    return vkQueuePresentKHR(queue_, &info);
}

void GpuDevice::waitQueueIdle()
{
    std::lock_guard lock(submitMutex_);
    vkQueueWaitIdle(queue_);
}

VkResult GpuDevice::queueSubmit(VkCommandBuffer cmd, VkFence fence, const std::vector<VkSemaphoreSubmitInfo>& waits,
                                const std::vector<VkSemaphoreSubmitInfo>& signals,
                                std::chrono::steady_clock::time_point& submitted)
{
    VkCommandBufferSubmitInfo cmdInfo{VK_STRUCTURE_TYPE_COMMAND_BUFFER_SUBMIT_INFO};
    cmdInfo.commandBuffer = cmd;
    VkSubmitInfo2 submitInfo{VK_STRUCTURE_TYPE_SUBMIT_INFO_2};
    submitInfo.commandBufferInfoCount = 1;
    submitInfo.pCommandBufferInfos = &cmdInfo;
    submitInfo.waitSemaphoreInfoCount = uint32_t(waits.size());
    submitInfo.pWaitSemaphoreInfos = waits.data();
    submitInfo.signalSemaphoreInfoCount = uint32_t(signals.size());
    submitInfo.pSignalSemaphoreInfos = signals.data();
    std::lock_guard lock(submitMutex_);
    submitted = std::chrono::steady_clock::now();
    return vkQueueSubmit2(queue_, 1, &submitInfo, fence);
}

void GpuDevice::submit(std::shared_ptr<GpuCommandBuffer> cb)
{
    const VkResult result = queueSubmit(cb->cmd_, cb->fence_.get(), cb->waits_, cb->signals_, cb->submitted_);
    if (result != VK_SUCCESS) {
        cb->finish(false, "queue submission failed (VkResult " + std::to_string(result) + ")");
        return;
    }
    workInFlight.fetch_add(1, std::memory_order_relaxed);
    {
        std::lock_guard lock(flightMutex_);
        inFlight_.push_back(std::move(cb));
    }
    flightChanged_.notify_all();
}

void GpuDevice::completionLoop()
{
    for (;;) {
        std::shared_ptr<GpuCommandBuffer> cb;
        {
            std::unique_lock lock(flightMutex_);
            flightChanged_.wait(lock, [&] { return stopping_ || !inFlight_.empty(); });
            if (inFlight_.empty()) return; // stopping and nothing left
            cb = inFlight_.front();
        }
        VkFence fence = cb->fence_.get();
        VkResult result;
        do {
            result = vkWaitForFences(device_, 1, &fence, VK_TRUE, 100'000'000);
        } while (result == VK_TIMEOUT);
        {
            std::lock_guard lock(flightMutex_);
            inFlight_.pop_front();
        }
        const bool alive = complete(std::move(cb), result);
        workInFlight.fetch_sub(1, std::memory_order_release);
        if (!alive) return; // the device is gone: touch nothing of it
    }
}

bool GpuDevice::complete(std::shared_ptr<GpuCommandBuffer> cb, VkResult result)
{
    if (result != VK_SUCCESS) {
        cb->finish(false, "GPU execution failed (VkResult " + std::to_string(result) + ")");
    } else {
        auto now = std::chrono::steady_clock::now();
        if (timestamps_ && cb->queries_) {
            uint64_t stamps[2] = {0, 0};
            if (vkGetQueryPoolResults(device_, cb->queries_.get(), 0, 2, sizeof(stamps), stamps, sizeof(uint64_t),
                                      VK_QUERY_RESULT_64_BIT) == VK_SUCCESS) {
                cb->gpuStart_ = double(stamps[0]) * timestampPeriod_ * 1e-9;
                cb->gpuEnd_ = double(stamps[1]) * timestampPeriod_ * 1e-9;
            }
        } else {
            auto epoch = std::chrono::steady_clock::time_point{};
            cb->gpuStart_ = std::chrono::duration<double>(cb->submitted_ - epoch).count() - cb->timedSeconds_;
            cb->gpuEnd_ = std::chrono::duration<double>(now - epoch).count();
        }
        cb->finish(true, "");
    }
    // The command buffer may hold the last reference to this device, in which case the device is
    // destroyed within this reset; the destructor says so through destroyedOnThisThread.
    bool destroyed = false;
    destroyedOnThisThread = &destroyed;
    cb.reset();
    destroyedOnThisThread = nullptr;
    return !destroyed;
}

} // namespace veltrane
