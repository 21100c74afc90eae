#include <future>
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
  // Each function is its own compilation of the whole source; they run side by side, and the
  // results are taken in the order given so the first failing function is the one reported.
  struct Outcome {
    bool compiled = false;
    bool missing = false;
    std::vector<uint32_t> spirv;
    std::string error;
  };
  auto compileOne = [&](const Entry& entry) {
    Outcome outcome;
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
    if (shaderc_result_get_compilation_status(result) == shaderc_compilation_status_success) {
      const auto* words = reinterpret_cast<const uint32_t*>(shaderc_result_get_bytes(result));
      outcome.spirv.assign(words, words + shaderc_result_get_length(result) / sizeof(uint32_t));
      outcome.compiled = true;
    } else {
      outcome.error = shaderc_result_get_error_message(result);
      // With the function's block compiled out, the source has no main: the function is missing.
      outcome.missing = outcome.error.find("Missing entry point") != std::string::npos;
    }
    shaderc_result_release(result);
    return outcome;
  };
  std::vector<std::future<Outcome>> pending;
  for (const Entry& entry : functions) pending.push_back(std::async(std::launch::async, compileOne, std::cref(entry)));
  std::vector<Outcome> outcomes;
  for (auto& f : pending) outcomes.push_back(f.get());

  GpuShaderLibrary library;
  for (size_t i = 0; i < functions.size(); ++i) {
    Outcome& outcome = outcomes[i];
    if (outcome.missing) continue;
    if (!outcome.compiled) throw GpuShaderCompileError(outcome.error);
    GpuShaderFunction function;
    function.name = functions[i].name;
    function.stage = functions[i].stage;
    function.spirv = std::move(outcome.spirv);
    library.functions_.push_back(std::move(function));
  }
  return library;
}

const GpuShaderFunction* GpuShaderLibrary::function(const std::string& name) const {
  for (const auto& f : functions_)
    if (f.name == name) return &f;
  return nullptr;
}

}  // namespace veltrane
