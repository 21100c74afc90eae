#include <mutex>

#include <shaderc/shaderc.h>

#include "Platform/Gpu/GpuDevice.h"

namespace veltrane {

namespace {

// One compiler for the process: glslang's start-up is the costly part of the first compilation,
// and shaderc compilers may be used from several threads at once.
shaderc_compiler_t compiler() {
  static std::once_flag once;
  static shaderc_compiler_t shared = nullptr;
  std::call_once(once, [] { shared = shaderc_compiler_initialize(); });
  return shared;
}

shaderc_shader_kind kind(GpuShaderStage stage) {
  switch (stage) {
    case GpuShaderStage::compute: return shaderc_compute_shader;
    case GpuShaderStage::vertex: return shaderc_vertex_shader;
    case GpuShaderStage::fragment: return shaderc_fragment_shader;
  }
  return shaderc_compute_shader;
}

}  // namespace

GpuShaderLibrary GpuShaderLibrary::compile(const std::string& libraryName, const std::string& source,
                                           const std::vector<Entry>& functions) {
  shaderc_compiler_t shaderc = compiler();
  if (!shaderc) throw GpuShaderCompileError("the shader compiler did not start");
  GpuShaderLibrary library;
  for (const Entry& entry : functions) {
    shaderc_compile_options_t options = shaderc_compile_options_initialize();
    // Vulkan 1.2 targets SPIR-V 1.5; a 1.3 target would emit LocalSizeId, which needs maintenance4.
    shaderc_compile_options_set_target_env(options, shaderc_target_env_vulkan, shaderc_env_version_vulkan_1_2);
    shaderc_compile_options_set_optimization_level(options, shaderc_optimization_level_performance);
    std::string macro = "FUNCTION_" + entry.name;
    shaderc_compile_options_add_macro_definition(options, macro.data(), macro.size(), "1", 1);
    shaderc_compilation_result_t result =
        shaderc_compile_into_spv(shaderc, source.data(), source.size(), kind(entry.stage),
                                 (libraryName + ".glsl").c_str(), "main", options);
    shaderc_compile_options_release(options);
    shaderc_compilation_status status = shaderc_result_get_compilation_status(result);
    if (status == shaderc_compilation_status_success) {
      GpuShaderFunction function;
      function.name = entry.name;
      function.stage = entry.stage;
      const auto* words = reinterpret_cast<const uint32_t*>(shaderc_result_get_bytes(result));
      function.spirv.assign(words, words + shaderc_result_get_length(result) / sizeof(uint32_t));
      library.functions_.push_back(std::move(function));
      shaderc_result_release(result);
      continue;
    }
    std::string message = shaderc_result_get_error_message(result);
    shaderc_result_release(result);
    // With the function's block compiled out, the source has no main: the function is missing.
    if (message.find("Missing entry point") != std::string::npos) continue;
    throw GpuShaderCompileError(message);
  }
  return library;
}

const GpuShaderFunction* GpuShaderLibrary::function(const std::string& name) const {
  for (const auto& f : functions_)
    if (f.name == name) return &f;
  return nullptr;
}

}  // namespace veltrane
