#pragma once
// GLSL sources compiled at run time with shaderc, one compilation per function. Each function's
// SPIR-V (or the fact that the source lacks it) is kept in the disk cache under a key made of the
// source, the library's name, the function's macro and stage, the compile settings and the
// compiler's version, so an unchanged source is compiled once per machine.

#include <cstdint>
#include <string>
#include <vector>

#include "Platform/Gpu/GpuError.h"
#include "Platform/Gpu/GpuTypes.h"

namespace veltrane {

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
    // fails to compile (failures are not cached: the text comes from the compiler every time).
    static GpuShaderLibrary compile(const std::string& libraryName, const std::string& source,
                                    const std::vector<Entry>& functions);
    const GpuShaderFunction* function(const std::string& name) const;

    // Functions compiled by shaderc in this process; a function found in the cache adds nothing.
    static int compilationCount();

private:
    std::vector<GpuShaderFunction> functions_;
};

} // namespace veltrane
