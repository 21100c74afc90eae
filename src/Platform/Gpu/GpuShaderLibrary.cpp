#include <atomic>
#include <cstring>
#include <future>
#include <mutex>
#include <optional>

#include <shaderc/shaderc.h>
#if __has_include(<glslang/build_info.h>)
#include <glslang/build_info.h>
#endif

#include "Platform/Gpu/GpuDevice.h"
#include "Platform/Gpu/GpuDiskCache.h"

namespace veltrane {

namespace {

// Vulkan 1.2 targets SPIR-V 1.5; a 1.3 target would emit LocalSizeId, which needs maintenance4.
constexpr shaderc_env_version kTargetVersion = shaderc_env_version_vulkan_1_2;
constexpr shaderc_optimization_level kOptimization = shaderc_optimization_level_performance;
constexpr uint32_t kSpirvMagic = 0x07230203;
constexpr size_t kSpirvHeaderWords = 5;

std::atomic<int> compilations{0};

// One compiler for the process, started only when something has to be compiled: glslang's start-up
// is the costly part of the first compilation, and shaderc compilers may be used from several
// threads at once.
shaderc_compiler_t compiler()
{
    static std::once_flag once;
    static shaderc_compiler_t shared = nullptr;
    std::call_once(once, [] { shared = shaderc_compiler_initialize(); });
    return shared;
}

shaderc_shader_kind kind(GpuShaderStage stage)
{
    switch (stage) {
    case GpuShaderStage::compute: return shaderc_compute_shader;
    case GpuShaderStage::vertex: return shaderc_vertex_shader;
    case GpuShaderStage::fragment: return shaderc_fragment_shader;
    }
    return shaderc_compute_shader;
}

std::string macroOf(const GpuShaderLibrary::Entry& entry) { return "FUNCTION_" + entry.name; }

// The compiler's version: the packages' versions from the build, glslang's from its header.
std::string compilerVersion()
{
    std::string version = VELTRANE_SHADER_COMPILER;
#ifdef GLSLANG_VERSION_MAJOR
    version += " glslang " + std::to_string(GLSLANG_VERSION_MAJOR) + "." + std::to_string(GLSLANG_VERSION_MINOR) + "." +
               std::to_string(GLSLANG_VERSION_PATCH) + GLSLANG_VERSION_FLAVOR;
#endif
    return version;
}

// Everything the SPIR-V of one function depends on.
GpuDiskCache::Digest cacheKey(const std::string& libraryName, const std::string& source,
                              const GpuShaderLibrary::Entry& entry)
{
    unsigned spirvVersion = 0, spirvRevision = 0;
    shaderc_get_spv_version(&spirvVersion, &spirvRevision);
    return GpuDiskCache::Hasher()
        .text(compilerVersion())
        .number(spirvVersion)
        .number(spirvRevision)
        .number(kTargetVersion)
        .number(kOptimization)
        .number(uint64_t(kind(entry.stage)))
        .text(macroOf(entry))
        .text(libraryName)
        .text(source)
        .digest();
}

std::filesystem::path cacheFile(const std::string& libraryName, const GpuShaderLibrary::Entry& entry,
                                const GpuDiskCache::Digest& key)
{
    return GpuDiskCache::folder(GpuDiskCache::Kind::spirv) /
           (libraryName + "." + entry.name + "." + key.hex() + ".spv");
}

struct Outcome {
    bool compiled = false;
    bool missing = false;
    std::vector<uint32_t> spirv;
    std::string error;
};

// A cached outcome: an empty payload says the source lacks the function; anything else must look
// like a SPIR-V module before it goes near a driver.
std::optional<Outcome> fromCache(const std::vector<uint8_t>& payload)
{
    Outcome outcome;
    if (payload.empty()) {
        outcome.missing = true;
        return outcome;
    }
    if (payload.size() % sizeof(uint32_t) != 0 || payload.size() < kSpirvHeaderWords * sizeof(uint32_t))
        return std::nullopt;
    outcome.spirv.resize(payload.size() / sizeof(uint32_t));
    std::memcpy(outcome.spirv.data(), payload.data(), payload.size());
    if (outcome.spirv[0] != kSpirvMagic) return std::nullopt;
    outcome.compiled = true;
    return outcome;
}

Outcome compileWithShaderc(const std::string& libraryName, const std::string& source,
                           const GpuShaderLibrary::Entry& entry)
{
    Outcome outcome;
    shaderc_compiler_t shaderc = compiler();
    if (!shaderc) {
        outcome.error = "the shader compiler did not start";
        return outcome;
    }
    ++compilations;
    shaderc_compile_options_t options = shaderc_compile_options_initialize();
    shaderc_compile_options_set_target_env(options, shaderc_target_env_vulkan, kTargetVersion);
    shaderc_compile_options_set_optimization_level(options, kOptimization);
    std::string macro = macroOf(entry);
    shaderc_compile_options_add_macro_definition(options, macro.data(), macro.size(), "1", 1);
    shaderc_compilation_result_t result = shaderc_compile_into_spv(
        shaderc, source.data(), source.size(), kind(entry.stage), (libraryName + ".glsl").c_str(), "main", options);
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
}

Outcome loadOrCompile(const std::string& libraryName, const std::string& source, const GpuShaderLibrary::Entry& entry)
{
    const GpuDiskCache::Digest key = cacheKey(libraryName, source, entry);
    const std::filesystem::path file = cacheFile(libraryName, entry, key);
    if (auto payload = GpuDiskCache::read(file, GpuDiskCache::Kind::spirv, key))
        if (auto cached = fromCache(*payload)) return std::move(*cached);
    Outcome outcome = compileWithShaderc(libraryName, source, entry);
    if (outcome.compiled || outcome.missing) {
        std::span<const uint8_t> payload;
        if (outcome.compiled)
            payload = {reinterpret_cast<const uint8_t*>(outcome.spirv.data()), outcome.spirv.size() * sizeof(uint32_t)};
        if (GpuDiskCache::write(file, GpuDiskCache::Kind::spirv, key, payload))
            GpuDiskCache::removeOthers(file, libraryName + "." + entry.name + ".");
    }
    return outcome;
}

} // namespace

GpuShaderLibrary GpuShaderLibrary::compile(const std::string& libraryName, const std::string& source,
                                           const std::vector<Entry>& functions)
{
    // Each function is its own compilation of the whole source; they run side by side, and the
    // results are taken in the order given so the first failing function is the one reported.
    std::vector<std::future<Outcome>> pending;
    for (const Entry& entry : functions)
        pending.push_back(
            std::async(std::launch::async, loadOrCompile, std::cref(libraryName), std::cref(source), std::cref(entry)));
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

const GpuShaderFunction* GpuShaderLibrary::function(const std::string& name) const
{
    for (const auto& f : functions_)
        if (f.name == name) return &f;
    return nullptr;
}

int GpuShaderLibrary::compilationCount() { return compilations.load(); }

} // namespace veltrane
