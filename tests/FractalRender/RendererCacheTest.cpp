// Renderer construction with the shader and pipeline caches: a second start compiles nothing and
// reads the driver's cache; damaged, foreign and unwritable caches, and two processes starting at
// once on an empty cache, all still give the same picture.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "FractalRender/FractalRenderer.h"
#include "Platform/Gpu/GpuDiskCache.h"
#include "Platform/Resources/Resources.h"
#include "../Support/ChildProcess.h"

using namespace veltrane;
using testsupport::ScopedVariable;
namespace fs = std::filesystem;

namespace {

constexpr int kFunctions = 9; // compiled by construction: four of "Fractal", five of "Post"

std::vector<uint8_t> bytesOf(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void put(const fs::path& file, const std::vector<uint8_t>& bytes)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

GpuDiskCache::Digest keyOf(const std::vector<uint8_t>& entry)
{
    GpuDiskCache::Digest key;
    std::memcpy(&key.low, entry.data() + 16, 8);
    std::memcpy(&key.high, entry.data() + 24, 8);
    return key;
}

// A still drawn by a renderer on lavapipe with validation; fails the test on any validation error.
std::vector<uint8_t> picture(const std::shared_ptr<GpuDevice>& device, FractalRenderer& renderer)
{
    RenderView view(FractalType::mandelbrot, -0.6, 0.1, 1.3, 0, 200, Complex{}, Palette::ember);
    std::vector<uint8_t> bytes = renderer.renderStill(view, 48, 32).bgrx;
    for (const auto& message : device->validationErrors()) ADD_FAILURE() << "validation: " << message;
    return bytes;
}

std::shared_ptr<GpuDevice> makeDevice() { return GpuDevice::create({.validation = true, .preferCpu = true}); }

class RendererCaches : public ::testing::Test {
protected:
    // One warm cache folder and the picture for the whole suite; each test starts from its own copy.
    static void SetUpTestSuite()
    {
        Resources::setRoot(fs::path(VELTRANE_SOURCE_DIR) / "resources");
        warm = new fs::path(fs::temp_directory_path() / ("veltrane-warm-cache-" + std::to_string(::getpid())));
        fs::remove_all(*warm);
        ScopedVariable cacheHome("XDG_CACHE_HOME", *warm);
        auto device = makeDevice();
        auto renderer = std::make_unique<FractalRenderer>(device);
        reference = new std::vector<uint8_t>(picture(device, *renderer));
    }
    static void TearDownTestSuite()
    {
        fs::remove_all(*warm);
        delete warm;
        delete reference;
    }

    void SetUp() override
    {
        root = fs::temp_directory_path() / ("veltrane-cache-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::copy(*warm, root, fs::copy_options::recursive);
        cacheHome.set(root);
    }
    void TearDown() override { fs::remove_all(root); }

    static fs::path spirvFile(const std::string& function)
    {
        for (const auto& entry : fs::directory_iterator(GpuDiskCache::folder(GpuDiskCache::Kind::spirv)))
            if (entry.path().filename().string().starts_with("Fractal." + function + ".")) return entry.path();
        ADD_FAILURE() << "no cache entry for " << function;
        return {};
    }

    static inline fs::path* warm = nullptr;
    static inline std::vector<uint8_t>* reference = nullptr;
    ScopedVariable cacheHome{"XDG_CACHE_HOME"};
    fs::path root;
};

} // namespace

TEST_F(RendererCaches, SecondConstructionCompilesNothingAndReadsThePipelineCache)
{
    fs::remove_all(root); // a first start on this machine
    const int compiled = GpuShaderLibrary::compilationCount();
    auto device = makeDevice();
    auto renderer = std::make_unique<FractalRenderer>(device);
    EXPECT_EQ(GpuShaderLibrary::compilationCount(), compiled + kFunctions);
    EXPECT_FALSE(device->pipelineCacheStats().loaded);
    EXPECT_EQ(picture(device, *renderer), *reference);
    renderer.reset(); // writes the pipelines the still made
    const fs::path pipelines = device->pipelineCacheFile();
    ASSERT_TRUE(fs::exists(pipelines));
    device.reset();

    device = makeDevice();
    renderer = std::make_unique<FractalRenderer>(device);
    EXPECT_EQ(GpuShaderLibrary::compilationCount(), compiled + kFunctions);
    EXPECT_TRUE(device->pipelineCacheStats().loaded);
    EXPECT_EQ(picture(device, *renderer), *reference);
    // What the driver finds in its cache it reports per pipeline. Lavapipe keeps nothing there (its
    // cache data is the 32-byte header alone) and relies on Mesa's own shader cache; a driver that
    // keeps pipelines must have found every one the first start made.
    const size_t driverBytes = bytesOf(pipelines).size() - 56;
    const auto stats = device->pipelineCacheStats();
    if (driverBytes > sizeof(VkPipelineCacheHeaderVersionOne))
        EXPECT_EQ(stats.builds, 0) << stats.hits << " found";
    else
        EXPECT_EQ(stats.hits, 0);
}

TEST_F(RendererCaches, DamagedOrForeignEntriesAreRebuiltAndGiveTheSamePicture)
{
    const fs::path pipelines = makeDevice()->pipelineCacheFile();
    const std::vector<uint8_t> goodPipelines = bytesOf(pipelines);
    ASSERT_GE(goodPipelines.size(), 56u + 32u);
    const std::vector<uint8_t> driverData(goodPipelines.begin() + 56, goodPipelines.end());
    // A whole entry under this device's key around other data.
    auto forge = [&](std::vector<uint8_t> data) {
        ASSERT_TRUE(GpuDiskCache::write(pipelines, GpuDiskCache::Kind::pipelines, keyOf(goodPipelines), data));
    };
    auto withHeaderWord = [&](size_t offset, uint32_t value) {
        auto data = driverData;
        std::memcpy(data.data() + offset, &value, 4);
        return data;
    };
    struct Case {
        const char* what;
        std::function<void()> damage;
        int compilations;     // functions compiled again
        bool pipelinesLoaded; // the driver's cache taken
    };
    const Case cases[] = {
        {"kernel entry cut short",
         [] {
             auto b = bytesOf(spirvFile("fractalKernel"));
             put(spirvFile("fractalKernel"), std::vector<uint8_t>(b.begin(), b.begin() + long(b.size() / 2)));
         },
         1, true},
        {"kernel entry with a byte changed",
         [] {
             auto b = bytesOf(spirvFile("fractalKernel"));
             b[b.size() / 2] ^= 0x40;
             put(spirvFile("fractalKernel"), b);
         },
         1, true},
        {"kernel entry emptied", [] { put(spirvFile("newtonKernel"), {}); }, 1, true},
        {"pipeline cache cut short",
         [&] { put(pipelines, std::vector<uint8_t>(goodPipelines.begin(), goodPipelines.end() - 1)); }, 0, false},
        {"pipeline cache with a byte changed",
         [&] {
             auto b = goodPipelines;
             b[56 + 20] ^= 1;
             put(pipelines, b);
         },
         0, false},
        {"another driver's entry under this name",
         [&] {
             ASSERT_TRUE(GpuDiskCache::write(pipelines, GpuDiskCache::Kind::pipelines,
                                             GpuDiskCache::Hasher().text("another driver version").digest(),
                                             driverData));
         },
         0, false},
        // Whole entries whose driver header the Vulkan rules turn down.
        {"header of another cache UUID", [&] { forge(withHeaderWord(16, 0xdeadbeef)); }, 0, false},
        {"header of another device", [&] { forge(withHeaderWord(12, 0x1234)); }, 0, false},
        {"header of another version", [&] { forge(withHeaderWord(4, 7)); }, 0, false},
        {"header longer than the data", [&] { forge(withHeaderWord(0, uint32_t(driverData.size() + 1))); }, 0, false},
        {"header cut short", [&] { forge(std::vector<uint8_t>(driverData.begin(), driverData.begin() + 16)); }, 0,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root);
        fs::copy(*warm, root, fs::copy_options::recursive);
        c.damage();
        const int compiled = GpuShaderLibrary::compilationCount();
        auto device = makeDevice();
        auto renderer = std::make_unique<FractalRenderer>(device);
        EXPECT_EQ(GpuShaderLibrary::compilationCount(), compiled + c.compilations);
        EXPECT_EQ(device->pipelineCacheStats().loaded, c.pipelinesLoaded);
        EXPECT_EQ(picture(device, *renderer), *reference);
        renderer.reset();
        device.reset();
        // Mended for the next start.
        const int again = GpuShaderLibrary::compilationCount();
        device = makeDevice();
        EXPECT_TRUE(device->pipelineCacheStats().loaded);
        FractalRenderer next(device);
        EXPECT_EQ(GpuShaderLibrary::compilationCount(), again);
    }
}

TEST_F(RendererCaches, UnwritableCacheFolderLeavesTheRendererWorking)
{
    std::vector<std::pair<const char*, fs::path>> folders;
    // Below a regular file no folder can be made, even by root.
    put(root / "a-file", {1});
    folders.emplace_back("below a file", root / "a-file");
    if (::geteuid() != 0) { // root writes through permission bits
        fs::create_directories(root / "read-only");
        fs::permissions(root / "read-only", fs::perms::owner_read | fs::perms::owner_exec);
        folders.emplace_back("read-only folder", root / "read-only");
    }
    for (const auto& [what, folder] : folders) {
        SCOPED_TRACE(what);
        cacheHome.set(folder);
        const int compiled = GpuShaderLibrary::compilationCount();
        const int failures = GpuDiskCache::counters().writeFailures;
        auto device = makeDevice();
        auto renderer = std::make_unique<FractalRenderer>(device);
        EXPECT_EQ(GpuShaderLibrary::compilationCount(), compiled + kFunctions);
        EXPECT_EQ(picture(device, *renderer), *reference);
        renderer.reset();
        EXPECT_EQ(GpuDiskCache::counters().writeFailures, failures + kFunctions + 1); // and the pipelines
        EXPECT_FALSE(device->pipelineCacheStats().loaded);
    }
    if (fs::exists(root / "read-only"))
        fs::permissions(root / "read-only", fs::perms::owner_all, fs::perm_options::add);
}

// Two processes of this test program start on one empty cache folder at once, twice over; each must
// find only whole entries (or none) and draw the same picture. (The file-level test of the same with
// a busy writer is in the GPU layer's tests.)
TEST_F(RendererCaches, ConcurrentFirstStartsReadOnlyWholeEntries)
{
    for (int round = 0; round < 2; ++round) {
        fs::remove_all(root);
        fs::create_directories(root);
        std::vector<pid_t> children;
        std::vector<fs::path> outputs;
        for (int child = 0; child < 2; ++child) {
            outputs.push_back(root / ("picture-" + std::to_string(child)));
            // Named apart: every test program sets XDG_CACHE_HOME to its own folder as it starts.
            children.push_back(testsupport::spawnSelf("RendererCachesRole.FirstStart",
                                                      {"VELTRANE_FIRST_START_OUT=" + outputs.back().string(),
                                                       "VELTRANE_FIRST_START_CACHE=" + root.string()}));
            ASSERT_GT(children.back(), 0);
        }
        for (size_t i = 0; i < children.size(); ++i) {
            EXPECT_EQ(testsupport::exitStatus(children[i]), 0) << "round " << round << " child " << i;
            EXPECT_EQ(bytesOf(outputs[i]), *reference) << "round " << round << " child " << i;
        }
    }
}

TEST(RendererCachesRole, FirstStart)
{
    const char* out = std::getenv("VELTRANE_FIRST_START_OUT");
    if (!out) GTEST_SKIP() << "run by ConcurrentFirstStartsReadOnlyWholeEntries";
    Resources::setRoot(fs::path(VELTRANE_SOURCE_DIR) / "resources");
    ::setenv("XDG_CACHE_HOME", std::getenv("VELTRANE_FIRST_START_CACHE"), 1);
    auto device = makeDevice();
    auto renderer = std::make_unique<FractalRenderer>(device);
    put(out, picture(device, *renderer));
    renderer.reset();
    EXPECT_EQ(GpuDiskCache::counters().rejected, 0);
}
