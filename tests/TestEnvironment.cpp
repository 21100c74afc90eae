// Linked into every test program: the cache folder (the GPU layer's shader and pipeline caches,
// thumbnails, and the driver's own shader cache, which follows the same variable) is a folder of the
// build tree, so tests neither fill the user's ~/.cache nor depend on what is in it. Tests that need
// a folder of their own point XDG_CACHE_HOME elsewhere and put it back afterwards.
#include <cstdlib>

namespace {

const bool cacheFolderSet = [] {
    ::setenv("XDG_CACHE_HOME", VELTRANE_BINARY_DIR "/test-cache", 1);
    return true;
}();

} // namespace
