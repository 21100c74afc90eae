#pragma once
// Move-only owner of one Vulkan object created from a VkDevice: destroyed in its destructor with the
// matching vkDestroy* function. A null handle is the default and destroys nothing.

#include <string>
#include <utility>

#include <vulkan/vulkan.h>

#include "Platform/Gpu/GpuError.h"

namespace veltrane {

template <typename Handle>
class VulkanHandle {
 public:
  using Destroy = void (*)(VkDevice, Handle, const VkAllocationCallbacks*);

  VulkanHandle() = default;
  VulkanHandle(VkDevice device, Handle handle, Destroy destroy) : device_(device), handle_(handle), destroy_(destroy) {}
  ~VulkanHandle() { reset(); }

  VulkanHandle(VulkanHandle&& other) noexcept
      : device_(other.device_), handle_(std::exchange(other.handle_, VK_NULL_HANDLE)), destroy_(other.destroy_) {}
  VulkanHandle& operator=(VulkanHandle&& other) noexcept {
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

  void reset() {
    if (handle_ != VK_NULL_HANDLE && destroy_ != nullptr) destroy_(device_, handle_, nullptr);
    handle_ = VK_NULL_HANDLE;
  }

 private:
  VkDevice device_ = VK_NULL_HANDLE;
  Handle handle_ = VK_NULL_HANDLE;
  Destroy destroy_ = nullptr;
};

// Throws GpuError naming the call when a Vulkan call fails.
inline void checkVk(VkResult result, const char* what) {
  if (result != VK_SUCCESS) throw GpuError(std::string(what) + " failed (VkResult " + std::to_string(result) + ")");
}

}  // namespace veltrane
