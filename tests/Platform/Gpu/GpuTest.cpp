#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include "Platform/Gpu/Gpu.h"

using namespace veltrane;

namespace {

const char* kSource = R"(#version 450
#ifdef FUNCTION_fillKernel
layout(local_size_x = 8, local_size_y = 8) in;
layout(constant_id = 0) const int kScale = 1;
layout(push_constant) uniform Block { vec2 size; float offset; } block;
layout(binding = 0) uniform writeonly image2D target;
layout(binding = 1) readonly buffer Values { float values[]; };
void main() {
  ivec2 p = ivec2(gl_GlobalInvocationID.xy);
  if (p.x >= int(block.size.x) || p.y >= int(block.size.y)) return;
  imageStore(target, p, vec4(float(p.x * kScale) + block.offset, float(p.y), values[0], 1.0));
}
#endif
#ifdef FUNCTION_texelKernel
layout(local_size_x = 8) in;
layout(binding = 0, rg32ui) uniform readonly uimageBuffer words;
layout(binding = 1) buffer Out { uint copied[]; };
void main() {
  int i = int(gl_GlobalInvocationID.x);
  uvec2 t = imageLoad(words, i).xy;
  copied[2 * i] = t.x;
  copied[2 * i + 1] = t.y;
}
#endif
#ifdef FUNCTION_wideTexelKernel
layout(local_size_x = 4) in;
layout(binding = 0, rgba32ui) uniform readonly uimageBuffer words;
layout(binding = 1) buffer Out { uint copied[]; };
void main() {
  int i = int(gl_GlobalInvocationID.x);
  uvec4 t = imageLoad(words, i);
  copied[4 * i] = t.x;
  copied[4 * i + 1] = t.y;
  copied[4 * i + 2] = t.z;
  copied[4 * i + 3] = t.w;
}
#endif
#ifdef FUNCTION_fullscreenVertex
void main() {
  vec2 uv = vec2((gl_VertexIndex << 1) & 2, gl_VertexIndex & 2);
  gl_Position = vec4(uv * 2.0 - 1.0, 0.0, 1.0);
}
#endif
#ifdef FUNCTION_halfFragment
layout(binding = 0) uniform sampler2D source;
layout(push_constant) uniform Block { vec2 size; } block;
layout(location = 0) out vec4 colour;
void main() { colour = texture(source, gl_FragCoord.xy / block.size) * 0.5; }
#endif
)";

class GpuTest : public ::testing::Test {
protected:
    void SetUp() override { device = GpuDevice::create({.validation = true, .preferCpu = true}); }
    void TearDown() override
    {
        ASSERT_TRUE(device);
        for (const auto& message : device->validationErrors()) ADD_FAILURE() << message;
    }
    std::shared_ptr<GpuDevice> device;
};

float halfToFloat(uint16_t h)
{
    int exponent = (h >> 10) & 31, mantissa = h & 1023;
    float value = exponent == 0 ? std::ldexp(float(mantissa), -24) : std::ldexp(float(mantissa | 1024), exponent - 25);
    return (h & 0x8000) ? -value : value;
}

} // namespace

TEST_F(GpuTest, LibraryCompilesPresentFunctionsAndReportsMissingOnes)
{
    auto library = GpuShaderLibrary::compile("Test", kSource,
                                             {{"fillKernel", GpuShaderStage::compute},
                                              {"absentKernel", GpuShaderStage::compute},
                                              {"fullscreenVertex", GpuShaderStage::vertex}});
    EXPECT_NE(library.function("fillKernel"), nullptr);
    EXPECT_NE(library.function("fullscreenVertex"), nullptr);
    EXPECT_EQ(library.function("absentKernel"), nullptr);
    try {
        GpuShaderLibrary::compile("Broken",
                                  "#version 450\n#ifdef FUNCTION_k\nvoid main() { undefinedCall(); }\n#endif\n",
                                  {{"k", GpuShaderStage::compute}});
        FAIL() << "no error";
    } catch (const GpuShaderCompileError& error) {
        EXPECT_NE(std::string(error.what()).find("undefinedCall"), std::string::npos) << error.what();
    }
}

TEST(GpuLimits, ImagesAndBuffersPastTheDeviceLimitsAreRefusedWithTheirSizes)
{
    // The allocation limit lowered to 24 KiB: a 64 x 64 image of 4 bytes a pixel fits, of 8 does not.
    auto device = GpuDevice::create({.validation = true, .preferCpu = true, .maxAllocationBytes = 24576});
    EXPECT_EQ(device->maxAllocationBytes(), 24576u);
    EXPECT_NE(device->makeImage({64, 64, GpuFormat::bgra8Unorm, gpuShaderRead, "fits"}), nullptr);
    const int tooWide = int(device->maxImageSide()) + 1;
    struct Case {
        GpuImageDesc desc;
        const char* reason;
    };
    for (const Case& c :
         {Case{{64, 64, GpuFormat::rgba16Float, gpuShaderRead, "deep"}, "image deep of 64 x 64: "},
          Case{{tooWide, 1, GpuFormat::bgra8Unorm, gpuShaderRead, "long"}, "pixels a side"},
          Case{{0, 4, GpuFormat::bgra8Unorm, gpuShaderRead, "empty"}, "image empty of 0 x 4: zero size"}}) {
        try {
            device->makeImage(c.desc);
            ADD_FAILURE() << c.desc.label << " was made";
        } catch (const GpuError& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
        }
    }
    EXPECT_THROW(device->makeBuffer(24577, "large"), GpuError);
    EXPECT_NE(device->makeBuffer(24576, "largest"), nullptr);
    for (const auto& message : device->validationErrors()) ADD_FAILURE() << message;
}

TEST_F(GpuTest, ComputeAndRenderPassesRunInOrderAndReadBack)
{
    auto library = GpuShaderLibrary::compile("Test", kSource,
                                             {{"fillKernel", GpuShaderStage::compute},
                                              {"fullscreenVertex", GpuShaderStage::vertex},
                                              {"halfFragment", GpuShaderStage::fragment}});
    auto fill = device->makeComputePipeline(
        {library.function("fillKernel"), {GpuBinding::storageImage, GpuBinding::storageBuffer}, 12, 3, "fill"});
    auto half = device->makeRenderPipeline({library.function("fullscreenVertex"),
                                            library.function("halfFragment"),
                                            {GpuBinding::sampledImage},
                                            8,
                                            GpuFormat::rgba16Float,
                                            "half"});
    const int w = 13, h = 9; // not multiples of the 8 x 8 group
    auto a = device->makeImage({w, h, GpuFormat::rgba16Float, gpuShaderRead | gpuShaderWrite | gpuRenderTarget, "a"});
    auto b = device->makeImage({w, h, GpuFormat::rgba16Float, gpuShaderRead | gpuShaderWrite | gpuRenderTarget, "b"});
    auto c = device->makeImage({w, h, GpuFormat::rgba16Float, gpuShaderRead | gpuShaderWrite | gpuRenderTarget, "c"});
    auto values = device->makeBuffer(64, "values");
    float seven = 7.0f;
    std::memcpy(values->contents(), &seven, 4);

    auto cb = device->makeCommandBuffer("test");
    cb->setComputePipeline(fill);
    struct {
        float size[2];
        float offset;
    } block{{float(w), float(h)}, 0.5f};
    cb->setBytes(&block, sizeof block);
    cb->setImage(0, a);
    cb->setBuffer(1, values);
    cb->dispatch((w + 7) / 8, (h + 7) / 8);
    cb->beginRendering(b);
    cb->setRenderPipeline(half);
    cb->setBytes(block.size, 8);
    cb->setImage(0, a);
    cb->draw(3);
    cb->endRendering();
    cb->copyImage(b, c);
    std::atomic<int> handled{0};
    cb->addCompletedHandler([&](GpuCommandBuffer& done) {
        EXPECT_GE(done.gpuEndTime(), done.gpuStartTime());
        handled++;
    });
    cb->commit();
    // Dropping our references while the work is in flight must be safe: the buffer retains them.
    a.reset();
    b.reset();
    values.reset();
    cb->waitUntilCompleted();
    EXPECT_EQ(cb->status(), GpuCommandBuffer::Status::completed);
    EXPECT_EQ(handled.load(), 1);

    auto bytes = device->readImage(c);
    ASSERT_EQ(bytes.size(), size_t(w * h * 8));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto* px = reinterpret_cast<const uint16_t*>(bytes.data() + (y * w + x) * 8);
            EXPECT_FLOAT_EQ(halfToFloat(px[0]), (x * 3 + 0.5f) * 0.5f) << x << "," << y;
            EXPECT_FLOAT_EQ(halfToFloat(px[1]), y * 0.5f);
            EXPECT_FLOAT_EQ(halfToFloat(px[2]), 3.5f);
        }
}

// Texel buffers show a buffer as texels of two (or four) 32-bit words; a trailing partial texel and
// anything past the end read zero.
TEST_F(GpuTest, TexelBuffersReadWordPairsAndQuads)
{
    auto library = GpuShaderLibrary::compile(
        "Test", kSource, {{"texelKernel", GpuShaderStage::compute}, {"wideTexelKernel", GpuShaderStage::compute}});
    auto words = device->makeBuffer(13 * 4, "words");
    for (uint32_t i = 0; i < 13; ++i) static_cast<uint32_t*>(words->contents())[i] = 0x9E3779B9u * (i + 1);
    for (bool wide : {false, true}) {
        SCOPED_TRACE(wide);
        auto copy = device->makeComputePipeline(
            {library.function(wide ? "wideTexelKernel" : "texelKernel"),
             {wide ? GpuBinding::wideTexelBuffer : GpuBinding::texelBuffer, GpuBinding::storageBuffer},
             0,
             std::nullopt,
             "copy"});
        auto copied = device->makeBuffer(16 * 4, "copied");
        std::memset(copied->contents(), 0xFF, 16 * 4);
        auto cb = device->makeCommandBuffer("texels");
        cb->setComputePipeline(copy);
        cb->setBuffer(0, words);
        cb->setBuffer(1, copied);
        cb->dispatch(1, 1);
        cb->commit();
        cb->waitUntilCompleted();
        ASSERT_EQ(cb->status(), GpuCommandBuffer::Status::completed);
        const auto* out = static_cast<const uint32_t*>(copied->contents());
        for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(out[i], i < 12 ? 0x9E3779B9u * (i + 1) : 0u) << i;
    }
}

TEST_F(GpuTest, ThreadsShareTheQueue)
{
    auto library = GpuShaderLibrary::compile("Test", kSource, {{"fillKernel", GpuShaderStage::compute}});
    auto fill = device->makeComputePipeline(
        {library.function("fillKernel"), {GpuBinding::storageImage, GpuBinding::storageBuffer}, 12, 1, "fill"});
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            auto image = device->makeImage({16, 16, GpuFormat::rgba16Float, gpuShaderWrite, "img"});
            auto values = device->makeBuffer(4, "v");
            for (int i = 0; i < 10; ++i) {
                auto cb = device->makeCommandBuffer("thread");
                cb->setComputePipeline(fill);
                float block[3] = {16, 16, float(t)};
                cb->setBytes(block, sizeof block);
                cb->setImage(0, image);
                cb->setBuffer(1, values);
                cb->dispatch(2, 2);
                cb->commit();
                cb->waitUntilCompleted();
                if (cb->status() != GpuCommandBuffer::Status::completed) failures++;
            }
            auto bytes = device->readImage(image);
            if (halfToFloat(reinterpret_cast<const uint16_t*>(bytes.data())[0]) != float(t)) failures++;
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(GpuValidation, ErrorsAreCounted)
{
    // The harness that fails every GPU test on a validation error must itself see errors.
    auto device = GpuDevice::create({.validation = true, .preferCpu = true});
    VkBufferCreateInfo info{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    info.size = 0; // invalid: a buffer must have a size
    info.usage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
    VkBuffer buffer = VK_NULL_HANDLE;
    vkCreateBuffer(device->vk(), &info, nullptr, &buffer);
    if (buffer != VK_NULL_HANDLE) vkDestroyBuffer(device->vk(), buffer, nullptr);
    EXPECT_GE(device->validationErrorCount(), 1);
}

// The owner lets go of the device while its work is in flight, at moments spread around the
// completions: whichever thread drops the last reference destroys the device (the completion thread
// included, which must never wait for itself), and every command buffer still completes. Odd rounds
// keep the last command buffer and let it go the moment it completes, racing the completion thread
// for the last reference.
TEST(GpuDeviceLifetime, LastReferenceDroppedWhileCompletionsAreInFlight)
{
    for (int round = 0; round < 40; ++round) {
        std::atomic<int> completed{0};
        std::shared_ptr<GpuCommandBuffer> last;
        {
            auto device = GpuDevice::create({.preferCpu = true});
            auto image = device->makeImage({64, 64, GpuFormat::rgba16Float, gpuShaderWrite, "target"});
            for (int i = 0; i < 6; ++i) {
                auto cb = device->makeCommandBuffer("in flight");
                cb->copyImage(image, device->makeImage({64, 64, GpuFormat::rgba16Float, gpuShaderWrite, "copy"}));
                cb->addCompletedHandler([&completed](GpuCommandBuffer&) { completed++; });
                cb->commit();
                if (round % 2 == 1) last = cb;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(round % 6 * 200));
        } // the device's last reference outside the flight list goes here
        if (last) {
            last->waitUntilCompleted();
            last.reset();
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (completed.load() < 6 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        EXPECT_EQ(completed.load(), 6) << round;
    }
}
