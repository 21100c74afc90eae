#pragma once
// Move-only owners of Vulkan objects, each destroyed in its destructor; a null handle is the default
// and destroys nothing. VulkanHandle owns an object made from a VkDevice (or, given the parent type,
// from the instance); VulkanInstance and VulkanDevice own the objects everything is made from.
// Declare them in the order they are made, so that members are destroyed the other way round.

#include <string>
#include <utility>

#include <vulkan/vulkan.h>

#include "Platform/Gpu/GpuError.h"

namespace veltrane {

template <typename Handle, typename Parent = VkDevice>
class VulkanHandle {
public:
    using Destroy = void (*)(Parent, Handle, const VkAllocationCallbacks*);

    VulkanHandle() = default;
    VulkanHandle(Parent device, Handle handle, Destroy destroy) : device_(device), handle_(handle), destroy_(destroy) {}
    ~VulkanHandle() { reset(); }

    VulkanHandle(VulkanHandle&& other) noexcept
        : device_(other.device_), handle_(std::exchange(other.handle_, VK_NULL_HANDLE)), destroy_(other.destroy_)
    {}
    VulkanHandle& operator=(VulkanHandle&& other) noexcept
    {
        if (this != &other) {
            reset();
            device_ = other.device_;
            handle_ = std::exchange(other.handle_, VK_NULL_HANDLE);
            destroy_ = other.destroy_;
        }
        return *this;
    }
    VulkanHandle(const VulkanHandle&) = delete;
    VulkanHandle& operator=(const VulkanHandle&) = delete;

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != VK_NULL_HANDLE; }

    void reset()
    {
        if (handle_ != VK_NULL_HANDLE && destroy_ != nullptr) destroy_(device_, handle_, nullptr);
        handle_ = VK_NULL_HANDLE;
    }

private:
    Parent device_ = VK_NULL_HANDLE;
    Handle handle_ = VK_NULL_HANDLE;
    Destroy destroy_ = nullptr;
};

// A handle destroyed by one function of itself alone (the instance, the device).
template <typename Handle, void (*destroy)(Handle, const VkAllocationCallbacks*)>
class VulkanRoot {
public:
    VulkanRoot() = default;
    explicit VulkanRoot(Handle handle) : handle_(handle) {}
    ~VulkanRoot() { reset(); }
    VulkanRoot(VulkanRoot&& other) noexcept : handle_(std::exchange(other.handle_, VK_NULL_HANDLE)) {}
    VulkanRoot& operator=(VulkanRoot&& other) noexcept
    {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, VK_NULL_HANDLE);
        }
        return *this;
    }
    VulkanRoot(const VulkanRoot&) = delete;
    VulkanRoot& operator=(const VulkanRoot&) = delete;

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != VK_NULL_HANDLE; }
    void reset()
    {
        if (handle_ != VK_NULL_HANDLE) destroy(handle_, nullptr);
        handle_ = VK_NULL_HANDLE;
    }

private:
    Handle handle_ = VK_NULL_HANDLE;
};

using VulkanInstance = VulkanRoot<VkInstance, vkDestroyInstance>;
// The caller waits for the device to be idle before this destroys it.
using VulkanDevice = VulkanRoot<VkDevice, vkDestroyDevice>;

// The validation layer's messenger, made from the instance and destroyed through an extension function.
using VulkanMessenger = VulkanHandle<VkDebugUtilsMessengerEXT, VkInstance>;

// Throws GpuError naming the call when a Vulkan call fails.
inline void checkVk(VkResult result, const char* what)
{
    if (result != VK_SUCCESS) throw GpuError(std::string(what) + " failed (VkResult " + std::to_string(result) + ")");
}

} // namespace veltrane
