// The GPU layer's disk cache: entries read back only when whole and their own, shader functions
// compiled once, a folder that cannot be written, and a writer and a reader in two processes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Gpu/Gpu.h"
#include "Platform/Gpu/GpuDiskCache.h"
#include "../../Support/ChildProcess.h"

using namespace veltrane;
using testsupport::ScopedVariable;
namespace fs = std::filesystem;

namespace {

// A fresh cache folder for each test; the program's own comes back afterwards.
class CacheFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("veltrane-gpucache-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
        cacheHome.set(root);
    }
    void TearDown() override { fs::remove_all(root); }

    static std::vector<uint8_t> bytesOf(const fs::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    static void put(const fs::path& file, const std::vector<uint8_t>& bytes)
    {
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }

    ScopedVariable cacheHome{"XDG_CACHE_HOME"};
    fs::path root;
};

const GpuDiskCache::Digest kKey = GpuDiskCache::Hasher().text("entry").digest();

std::vector<uint8_t> payload(size_t size, uint8_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(seed + i * 31);
    return bytes;
}

const char* kSource = R"(#version 450
#ifdef FUNCTION_fill
layout(local_size_x = 8) in;
layout(binding = 0) buffer Out { float values[]; };
void main() { values[gl_GlobalInvocationID.x] = 1.0; }
#endif
)";

} // namespace

TEST(GpuDiskCacheDigest, LengthPrefixedTextsAndEveryByteCount)
{
    using GpuDiskCache::Hasher;
    EXPECT_NE(Hasher().text("ab").text("c").digest(), Hasher().text("a").text("bc").digest());
    EXPECT_NE(Hasher().number(1).digest(), Hasher().number(256).digest());
    EXPECT_EQ(Hasher().text("x").digest(), Hasher().text("x").digest());
    EXPECT_EQ(Hasher().digest().hex(), "6c62272e07bb014262b821756295c58d"); // FNV-1a 128 offset basis
}

TEST_F(CacheFolder, EntryReadsBackOnlyWhenWholeAndItsOwn)
{
    const fs::path file = GpuDiskCache::folder(GpuDiskCache::Kind::spirv) / "entry.bin";
    const auto data = payload(1000, 7);
    EXPECT_FALSE(GpuDiskCache::read(file, GpuDiskCache::Kind::spirv, kKey)); // absent
    ASSERT_TRUE(GpuDiskCache::write(file, GpuDiskCache::Kind::spirv, kKey, data));
    EXPECT_EQ(GpuDiskCache::read(file, GpuDiskCache::Kind::spirv, kKey), data);
    EXPECT_FALSE(GpuDiskCache::read(file, GpuDiskCache::Kind::pipelines, kKey));
    EXPECT_FALSE(GpuDiskCache::read(file, GpuDiskCache::Kind::spirv, GpuDiskCache::Hasher().text("other").digest()));

    const std::vector<uint8_t> good = bytesOf(file);
    ASSERT_EQ(good.size(), 56 + data.size());
    struct Damage {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    auto flipped = [&](size_t at) {
        auto b = good;
        b[at] ^= 0x10;
        return b;
    };
    auto cut = [&](size_t size) { return std::vector<uint8_t>(good.begin(), good.begin() + long(size)); };
    auto longer = good;
    longer.push_back(0);
    const Damage cases[] = {
        {"empty", {}},
        {"envelope cut short", cut(55)},
        {"payload cut short", cut(good.size() - 1)},
        {"one byte more", longer},
        {"magic", flipped(0)},
        {"format", flipped(8)},
        {"key", flipped(20)},
        {"size field", flipped(32)},
        {"digest", flipped(48)},
        {"first payload byte", flipped(56)},
        {"last payload byte", flipped(good.size() - 1)},
    };
    for (const Damage& damage : cases) {
        put(file, damage.bytes);
        const int rejectedBefore = GpuDiskCache::counters().rejected;
        EXPECT_FALSE(GpuDiskCache::read(file, GpuDiskCache::Kind::spirv, kKey)) << damage.what;
        EXPECT_EQ(GpuDiskCache::counters().rejected, rejectedBefore + 1) << damage.what;
    }
    // A folder where the file should be is no entry either.
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_FALSE(GpuDiskCache::read(file, GpuDiskCache::Kind::spirv, kKey));
}

TEST_F(CacheFolder, WriterRemovesOlderVersionsOfItsEntryOnly)
{
    const fs::path folder = GpuDiskCache::folder(GpuDiskCache::Kind::spirv);
    for (const char* name : {"Lib.f.old.spv", "Lib.g.old.spv", "Lib.f.new.spv"})
        ASSERT_TRUE(GpuDiskCache::write(folder / name, GpuDiskCache::Kind::spirv, kKey, payload(8, 1)));
    GpuDiskCache::removeOthers(folder / "Lib.f.new.spv", "Lib.f.");
    EXPECT_FALSE(fs::exists(folder / "Lib.f.old.spv"));
    EXPECT_TRUE(fs::exists(folder / "Lib.g.old.spv"));
    EXPECT_TRUE(fs::exists(folder / "Lib.f.new.spv"));
}

TEST_F(CacheFolder, FunctionsAreCompiledOncePerSourceAndMissingOnesRemembered)
{
    const std::vector<GpuShaderLibrary::Entry> entries = {{"fill", GpuShaderStage::compute},
                                                          {"absent", GpuShaderStage::compute}};
    int before = GpuShaderLibrary::compilationCount();
    auto first = GpuShaderLibrary::compile("Test", kSource, entries);
    EXPECT_EQ(GpuShaderLibrary::compilationCount(), before + 2);
    auto second = GpuShaderLibrary::compile("Test", kSource, entries);
    EXPECT_EQ(GpuShaderLibrary::compilationCount(), before + 2);
    ASSERT_TRUE(second.function("fill"));
    EXPECT_EQ(second.function("fill")->spirv, first.function("fill")->spirv);
    EXPECT_FALSE(second.function("absent"));

    // Another source, another library name or another stage is another entry.
    GpuShaderLibrary::compile("Test", std::string(kSource) + "\n", {entries[0]});
    GpuShaderLibrary::compile("Other", kSource, {entries[0]});
    EXPECT_EQ(GpuShaderLibrary::compilationCount(), before + 4);

    // Failures are never kept: the compiler's text comes every time.
    const char* broken = "#version 450\n#ifdef FUNCTION_k\nvoid main() { undefinedCall(); }\n#endif\n";
    for (int i = 0; i < 2; ++i)
        EXPECT_THROW(GpuShaderLibrary::compile("Broken", broken, {{"k", GpuShaderStage::compute}}),
                     GpuShaderCompileError);
    EXPECT_EQ(GpuShaderLibrary::compilationCount(), before + 6);
}

TEST_F(CacheFolder, DamagedOrForeignShaderEntriesAreCompiledAgain)
{
    const std::vector<GpuShaderLibrary::Entry> entries = {{"fill", GpuShaderStage::compute}};
    const auto reference = GpuShaderLibrary::compile("Test", kSource, entries).function("fill")->spirv;
    const fs::path folder = GpuDiskCache::folder(GpuDiskCache::Kind::spirv);
    ASSERT_EQ(std::distance(fs::directory_iterator(folder), {}), 1);
    const fs::path file = fs::directory_iterator(folder)->path();
    const auto good = bytesOf(file);

    // Whole envelopes around payloads that are no SPIR-V module: the key is right, the content not.
    auto forge = [&](std::vector<uint8_t> content) {
        GpuDiskCache::Digest key;
        std::memcpy(&key.low, good.data() + 16, 8);
        std::memcpy(&key.high, good.data() + 24, 8);
        EXPECT_TRUE(GpuDiskCache::write(file, GpuDiskCache::Kind::spirv, key, content));
    };
    std::vector<std::function<void()>> damages = {
        [&] { put(file, std::vector<uint8_t>(good.begin(), good.end() - 4)); },
        [&] {
            auto b = good;
            b[b.size() / 2] ^= 1;
            put(file, b);
        },
        [&] { forge(payload(64, 3)); },                                          // wrong magic number
        [&] { forge(std::vector<uint8_t>(good.begin() + 56, good.end() - 1)); }, // not whole words
        [&] {
            forge({0x03, 0x02, 0x23, 0x07});
        }, // a header alone
    };
    for (size_t i = 0; i < damages.size(); ++i) {
        damages[i]();
        int before = GpuShaderLibrary::compilationCount();
        auto library = GpuShaderLibrary::compile("Test", kSource, entries);
        EXPECT_EQ(GpuShaderLibrary::compilationCount(), before + 1) << "case " << i;
        ASSERT_TRUE(library.function("fill"));
        EXPECT_EQ(library.function("fill")->spirv, reference) << "case " << i;
        EXPECT_EQ(bytesOf(file), good) << "case " << i << ": the entry is written anew";
    }
}

TEST_F(CacheFolder, UnwritableFolderLeavesCompilingWorking)
{
    // Below a regular file no folder can be made, even by root (who ignores permission bits).
    put(root / "not-a-folder", {1});
    cacheHome.set(root / "not-a-folder");
    const std::vector<GpuShaderLibrary::Entry> entries = {{"fill", GpuShaderStage::compute}};
    for (int i = 0; i < 2; ++i) {
        int compiled = GpuShaderLibrary::compilationCount(), failures = GpuDiskCache::counters().writeFailures;
        auto library = GpuShaderLibrary::compile("Test", kSource, entries);
        EXPECT_TRUE(library.function("fill"));
        EXPECT_EQ(GpuShaderLibrary::compilationCount(), compiled + 1);
        EXPECT_EQ(GpuDiskCache::counters().writeFailures, failures + 1);
    }
    auto device = GpuDevice::create({.validation = true, .preferCpu = true});
    auto library = GpuShaderLibrary::compile("Test", kSource, entries);
    auto pipeline =
        device->makeComputePipeline({library.function("fill"), {GpuBinding::storageBuffer}, 0, std::nullopt, "fill"});
    EXPECT_TRUE(pipeline->vk());
    device->savePipelineCache(); // fails quietly
    EXPECT_FALSE(fs::exists(device->pipelineCacheFile()));
    EXPECT_EQ(device->validationErrorCount(), 0);
}

pid_t spawnRole(const std::string& role, const fs::path& file)
{
    return testsupport::spawnSelf("GpuDiskCacheRole.Run",
                                  {"VELTRANE_CACHE_ROLE=" + role, "VELTRANE_CACHE_FILE=" + file.string()});
}

// A writer replaces one entry with payloads of changing sizes while a reader reads it: the reader
// must only ever see whole entries. Writing in place would show it a file cut short or mixed.
TEST_F(CacheFolder, ReaderInAnotherProcessNeverSeesAHalfWrittenEntry)
{
    const fs::path file = GpuDiskCache::folder(GpuDiskCache::Kind::pipelines) / "shared.bin";
    ASSERT_TRUE(GpuDiskCache::write(file, GpuDiskCache::Kind::pipelines, kKey, payload(100, 0)));
    pid_t reader = spawnRole("reader", file);
    pid_t writer = spawnRole("writer", file);
    ASSERT_GT(reader, 0);
    ASSERT_GT(writer, 0);
    EXPECT_EQ(testsupport::exitStatus(writer), 0);
    EXPECT_EQ(testsupport::exitStatus(reader), 0);
}

TEST(GpuDiskCacheRole, Run)
{
    const char* role = std::getenv("VELTRANE_CACHE_ROLE");
    if (!role) GTEST_SKIP() << "run by ReaderInAnotherProcessNeverSeesAHalfWrittenEntry";
    const fs::path file = std::getenv("VELTRANE_CACHE_FILE");
    const fs::path done = file.string() + ".done", ready = file.string() + ".ready";
    if (std::string(role) == "writer") {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!fs::exists(ready) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (int i = 0; i < 300; ++i)
            ASSERT_TRUE(GpuDiskCache::write(file, GpuDiskCache::Kind::pipelines, kKey,
                                            payload(size_t(20000 + (i % 7) * 30000), uint8_t(i))));
        std::ofstream{done};
        return;
    }
    std::ofstream{ready};
    int reads = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(done) && std::chrono::steady_clock::now() < deadline) {
        EXPECT_TRUE(GpuDiskCache::read(file, GpuDiskCache::Kind::pipelines, kKey)) << "read " << reads;
        ++reads;
    }
    EXPECT_EQ(GpuDiskCache::counters().rejected, 0);
    EXPECT_GT(reads, 10);
}
