#pragma once
// Errors of the GPU layer.

#include <stdexcept>
#include <string>

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

} // namespace veltrane
