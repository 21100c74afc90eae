// Linked into every test program: the cache folder (the GPU layer's shader and pipeline caches,
// thumbnails, and the driver's own shader cache, which follows the same variable) is a folder of the
// build tree, so tests neither fill the user's ~/.cache nor depend on what is in it. Tests that need
// a folder of their own point XDG_CACHE_HOME elsewhere and put it back afterwards.
//
// Under AddressSanitizer the CPU Vulkan driver and the validation layer stay loaded until the process
// ends: the Vulkan loader unloads them when the last instance goes, and LeakSanitizer, which looks
// at exit, could then neither name the library of what they keep for the process nor match it to its
// suppression (tools/sanitizers/lsan.supp).
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <dlfcn.h>

#include <initializer_list>
#endif

namespace {

const bool cacheFolderSet = [] {
    ::setenv("XDG_CACHE_HOME", VELTRANE_BINARY_DIR "/test-cache", 1);
    return true;
}();

#if defined(__SANITIZE_ADDRESS__)
const bool driversPinned = [] {
    for (const char* library : {"libvulkan_lvp.so", "libVkLayer_khronos_validation.so"})
        ::dlopen(library, RTLD_NOW | RTLD_NODELETE);
    return true;
}();
#endif

} // namespace
