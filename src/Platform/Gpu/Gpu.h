#pragma once
// Our thin layer on Vulkan 1.3: what the fractal renderer and the HUD renderer need of a GPU, in the
// shape the rest of the program expects (a device with one queue, images, host-visible buffers,
// compute and render pipelines, command buffers with completion handlers and GPU times).
//
// What it does:
// - Picks a device: a discrete GPU, then an integrated one, then a CPU device (lavapipe).
// - Shares the device's one queue between every user behind a submit lock (lavapipe has one queue).
// - Keeps every image in VK_IMAGE_LAYOUT_GENERAL and orders every pass (dispatch, render pass, copy)
//   after everything submitted before it with a full memory barrier, the way a tracked-hazard API
//   behaves. That costs little at our pass counts and keeps synchronization validation quiet.
// - Retains every resource a command buffer uses until the GPU has finished with it, so callers can
//   drop their own references at any time.
// - Runs completion handlers on one completion thread per device.
// - Compiles GLSL at run time with shaderc: one compilation per function, the function selected by
//   the macro FUNCTION_<name>; a source without that function is "missing", not a compile error.
//
// What it does not do: swapchains and windows (Platform/Window), descriptor sets beyond push
// descriptors, mipmaps, multisampling, more than one queue.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <vulkan/vulkan.h>

#include "Platform/Gpu/VulkanHandle.h"

namespace veltrane {

// A failure of the platform: allocation, pipeline creation, submission.
class GpuError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// No Vulkan driver or no usable device on this machine.
class GpuNoDeviceError : public GpuError {
 public:
  GpuNoDeviceError() : GpuError("No Vulkan device") {}
};

// The compiler's report on a shader source that does not compile.
class GpuShaderCompileError : public GpuError {
 public:
  using GpuError::GpuError;
};

enum class GpuFormat { rgba16Float, bgra8Unorm };

enum GpuImageUsage : unsigned {
  gpuShaderRead = 1,     // sampled in fragment shaders
  gpuShaderWrite = 2,    // storage image in compute shaders
  gpuRenderTarget = 4,   // colour attachment
};

struct GpuImageDesc {
  int width = 0;
  int height = 0;
  GpuFormat format = GpuFormat::rgba16Float;
  unsigned usage = 0;  // GpuImageUsage bits; copies in and out are always allowed
  std::string label;
};

enum class GpuBinding { storageImage, sampledImage, storageBuffer };

enum class GpuShaderStage { compute, vertex, fragment };

class GpuDevice;

class GpuBuffer {
 public:
  GpuBuffer(std::shared_ptr<GpuDevice> device, size_t bytes, const std::string& label);
  ~GpuBuffer();
  GpuBuffer(const GpuBuffer&) = delete;
  GpuBuffer& operator=(const GpuBuffer&) = delete;

  size_t size() const { return size_; }
  // Host-visible, coherent memory, mapped for the buffer's whole life.
  void* contents() const { return mapped_; }
  VkBuffer vk() const { return buffer_.get(); }

 private:
  std::shared_ptr<GpuDevice> device_;
  size_t size_;
  VulkanHandle<VkBuffer> buffer_;
  VulkanHandle<VkDeviceMemory> memory_;
  void* mapped_ = nullptr;
};

class GpuImage {
 public:
  GpuImage(std::shared_ptr<GpuDevice> device, const GpuImageDesc& desc);
  GpuImage(const GpuImage&) = delete;
  GpuImage& operator=(const GpuImage&) = delete;

  int width() const { return desc_.width; }
  int height() const { return desc_.height; }
  GpuFormat format() const { return desc_.format; }
  size_t bytesPerPixel() const { return desc_.format == GpuFormat::rgba16Float ? 8 : 4; }
  const std::string& label() const { return desc_.label; }
  VkImage vk() const { return image_.get(); }
  VkImageView view() const { return view_.get(); }

 private:
  std::shared_ptr<GpuDevice> device_;
  GpuImageDesc desc_;
  VulkanHandle<VkImage> image_;
  VulkanHandle<VkDeviceMemory> memory_;
  VulkanHandle<VkImageView> view_;
};

// One function of a shader library, compiled to SPIR-V.
struct GpuShaderFunction {
  std::string name;
  GpuShaderStage stage = GpuShaderStage::compute;
  std::vector<uint32_t> spirv;
};

// A shader source compiled function by function. Functions the source does not define are absent.
class GpuShaderLibrary {
 public:
  struct Entry {
    std::string name;
    GpuShaderStage stage;
  };
  // Throws GpuShaderCompileError with the compiler's text when a function present in the source
  // fails to compile.
  static GpuShaderLibrary compile(const std::string& libraryName, const std::string& source,
                                  const std::vector<Entry>& functions);
  const GpuShaderFunction* function(const std::string& name) const;

 private:
  std::vector<GpuShaderFunction> functions_;
};

struct GpuComputePipelineDesc {
  const GpuShaderFunction* function = nullptr;
  std::vector<GpuBinding> bindings;   // binding i of set 0
  uint32_t pushConstantBytes = 0;
  std::optional<int32_t> constant0;   // specialization constant 0
  std::string label;
};

struct GpuRenderPipelineDesc {
  const GpuShaderFunction* vertex = nullptr;
  const GpuShaderFunction* fragment = nullptr;
  std::vector<GpuBinding> bindings;
  uint32_t pushConstantBytes = 0;
  GpuFormat colourFormat = GpuFormat::rgba16Float;
  std::string label;
};

class GpuPipeline {
 public:
  GpuPipeline(std::shared_ptr<GpuDevice> device, const GpuComputePipelineDesc& desc);
  GpuPipeline(std::shared_ptr<GpuDevice> device, const GpuRenderPipelineDesc& desc);
  GpuPipeline(const GpuPipeline&) = delete;
  GpuPipeline& operator=(const GpuPipeline&) = delete;

  bool isCompute() const { return compute_; }
  const std::vector<GpuBinding>& bindings() const { return bindings_; }
  uint32_t pushConstantBytes() const { return pushBytes_; }
  GpuFormat colourFormat() const { return colourFormat_; }
  VkPipeline vk() const { return pipeline_.get(); }
  VkPipelineLayout layout() const { return layout_.get(); }

 private:
  void makeLayout(const std::string& label);

  std::shared_ptr<GpuDevice> device_;
  bool compute_;
  std::vector<GpuBinding> bindings_;
  uint32_t pushBytes_;
  GpuFormat colourFormat_ = GpuFormat::rgba16Float;
  VulkanHandle<VkDescriptorSetLayout> setLayout_;
  VulkanHandle<VkPipelineLayout> layout_;
  VulkanHandle<VkPipeline> pipeline_;
};

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
  void setBytes(const void* data, uint32_t bytes);   // push constants, at most 128 bytes
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
  std::vector<std::function<void(GpuCommandBuffer&)>> handlers_;
  std::chrono::steady_clock::time_point submitted_;
  double gpuStart_ = 0, gpuEnd_ = 0;
  std::string error_;
  mutable std::mutex mutex_;
  std::condition_variable done_;
  Status status_ = Status::recording;
};

struct GpuDeviceOptions {
  // Khronos validation with synchronization validation; messages are counted and printed.
  bool validation = false;
};

class GpuDevice : public std::enable_shared_from_this<GpuDevice> {
 public:
  // Throws GpuNoDeviceError when there is no Vulkan driver or device.
  static std::shared_ptr<GpuDevice> create(const GpuDeviceOptions& options = {});
  // The process's shared device, made on first use; nullptr when there is none.
  static std::shared_ptr<GpuDevice> systemDefault();

  ~GpuDevice();
  GpuDevice(const GpuDevice&) = delete;
  GpuDevice& operator=(const GpuDevice&) = delete;

  const std::string& name() const { return name_; }
  bool isCpu() const { return cpu_; }

  std::shared_ptr<GpuBuffer> makeBuffer(size_t bytes, const std::string& label);
  std::shared_ptr<GpuImage> makeImage(const GpuImageDesc& desc);
  std::shared_ptr<GpuPipeline> makeComputePipeline(const GpuComputePipelineDesc& desc);
  std::shared_ptr<GpuPipeline> makeRenderPipeline(const GpuRenderPipelineDesc& desc);
  std::shared_ptr<GpuCommandBuffer> makeCommandBuffer(const std::string& label);

  // Copies an image into memory (rows packed, bytesPerPixel each) and waits for it.
  std::vector<uint8_t> readImage(const std::shared_ptr<GpuImage>& image);

  // Validation messages of severity error seen so far (only with options.validation).
  int validationErrorCount() const;
  std::vector<std::string> validationErrors() const;

  // Internals used by the resource classes.
  VkDevice vk() const { return device_; }
  VkPhysicalDevice physical() const { return physical_; }
  VkSampler linearSampler() const { return sampler_.get(); }
  uint32_t memoryType(uint32_t typeBits, VkMemoryPropertyFlags wanted) const;
  void setName(VkObjectType type, uint64_t handle, const std::string& name) const;
  PFN_vkCmdPushDescriptorSetKHR pushDescriptorSet = nullptr;
  float timestampPeriodNs() const { return timestampPeriod_; }
  bool timestampsUsable() const { return timestamps_; }

 private:
  friend class GpuCommandBuffer;
  friend class GpuImage;
  GpuDevice() = default;
  void init(const GpuDeviceOptions& options);
  void submit(std::shared_ptr<GpuCommandBuffer> commandBuffer);
  void completionLoop();
  static VKAPI_ATTR VkBool32 VKAPI_CALL debugCallback(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                                     VkDebugUtilsMessageTypeFlagsEXT types,
                                                     const VkDebugUtilsMessengerCallbackDataEXT* data,
                                                     void* user);

  VkInstance instance_ = VK_NULL_HANDLE;
  VkDebugUtilsMessengerEXT messenger_ = VK_NULL_HANDLE;
  VkPhysicalDevice physical_ = VK_NULL_HANDLE;
  VkDevice device_ = VK_NULL_HANDLE;
  VkQueue queue_ = VK_NULL_HANDLE;
  uint32_t queueFamily_ = 0;
  VkPhysicalDeviceMemoryProperties memory_{};
  VulkanHandle<VkSampler> sampler_;
  std::string name_;
  bool cpu_ = false;
  bool timestamps_ = false;
  float timestampPeriod_ = 1.0f;
  PFN_vkSetDebugUtilsObjectNameEXT setObjectName_ = nullptr;

  std::mutex submitMutex_;  // the one queue, shared by every user of the device

  mutable std::mutex messagesMutex_;
  std::vector<std::string> errors_;

  std::mutex flightMutex_;
  std::condition_variable flightChanged_;
  std::deque<std::shared_ptr<GpuCommandBuffer>> inFlight_;
  bool stopping_ = false;
  std::thread completionThread_;
};

}  // namespace veltrane
