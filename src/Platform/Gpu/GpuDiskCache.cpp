#include "Platform/Gpu/GpuDiskCache.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <system_error>

#include "Platform/Files/Files.h"

namespace veltrane::GpuDiskCache {

namespace fs = std::filesystem;

namespace {

constexpr unsigned __int128 fnvOffset =
    (static_cast<unsigned __int128>(0x6c62272e07bb0142ull) << 64) | 0x62b821756295c58dull;
constexpr unsigned __int128 fnvPrime = (static_cast<unsigned __int128>(1) << 88) | 0x13bu;

// Little-endian on disk, as on every machine this runs on.
struct Envelope {
    char magic[8];
    std::uint32_t format;
    std::uint32_t kind;
    std::uint64_t key[2];
    std::uint64_t payloadBytes;
    std::uint64_t digest[2];
};
static_assert(sizeof(Envelope) == 56);
static_assert(offsetof(Envelope, key) == 16 && offsetof(Envelope, payloadBytes) == 32);

constexpr char kMagic[8] = {'V', 'L', 'T', 'C', 'A', 'C', 'H', 'E'};
// Raised whenever the envelope or the meaning of a kind's payload changes.
constexpr std::uint32_t kFormat = 1;

struct AtomicCounters {
    std::atomic<int> found{0}, absent{0}, rejected{0}, written{0}, writeFailures{0};
};
AtomicCounters& tally()
{
    static AtomicCounters counters;
    return counters;
}

} // namespace

std::string Digest::hex() const
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out(32, '0');
    for (int i = 0; i < 16; ++i) {
        std::uint64_t word = i < 8 ? high : low;
        unsigned byte = unsigned(word >> (8 * (7 - (i % 8)))) & 0xff;
        out[size_t(2 * i)] = digits[byte >> 4];
        out[size_t(2 * i + 1)] = digits[byte & 15];
    }
    return out;
}

Hasher::Hasher() : state_(fnvOffset) {}

Hasher& Hasher::bytes(const void* data, std::size_t size)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        state_ ^= p[i];
        state_ *= fnvPrime;
    }
    return *this;
}

Hasher& Hasher::text(std::string_view value) { return number(value.size()).bytes(value.data(), value.size()); }

Hasher& Hasher::number(std::uint64_t value)
{
    std::uint8_t le[8];
    for (int i = 0; i < 8; ++i) le[i] = std::uint8_t(value >> (8 * i));
    return bytes(le, sizeof le);
}

Digest Hasher::digest() const { return Digest{std::uint64_t(state_), std::uint64_t(state_ >> 64)}; }

Digest digestOf(std::span<const std::uint8_t> bytes) { return Hasher().bytes(bytes.data(), bytes.size()).digest(); }

fs::path folder(Kind kind) { return Files::cacheFolder() / (kind == Kind::spirv ? "shaders" : "pipelines"); }

std::optional<std::vector<std::uint8_t>> read(const fs::path& file, Kind kind, const Digest& key)
{
    std::vector<std::uint8_t> bytes;
    try {
        bytes = Files::readAll(file);
    } catch (const Files::Error&) {
        ++tally().absent; // no file, or one that cannot be read: either way there is nothing to use
        return std::nullopt;
    }
    Envelope envelope;
    bool good = bytes.size() >= sizeof envelope;
    if (good) {
        std::memcpy(&envelope, bytes.data(), sizeof envelope);
        good = std::memcmp(envelope.magic, kMagic, sizeof kMagic) == 0 && envelope.format == kFormat &&
               envelope.kind == std::uint32_t(kind) && envelope.key[0] == key.low && envelope.key[1] == key.high &&
               envelope.payloadBytes == bytes.size() - sizeof envelope;
    }
    std::span<const std::uint8_t> payload;
    if (good) {
        payload = std::span(bytes).subspan(sizeof envelope);
        good = digestOf(payload) == Digest{envelope.digest[0], envelope.digest[1]};
    }
    if (!good) {
        ++tally().rejected;
        return std::nullopt;
    }
    ++tally().found;
    return std::vector<std::uint8_t>(payload.begin(), payload.end());
}

bool write(const fs::path& file, Kind kind, const Digest& key, std::span<const std::uint8_t> payload) noexcept
{
    try {
        Envelope envelope{};
        std::memcpy(envelope.magic, kMagic, sizeof kMagic);
        envelope.format = kFormat;
        envelope.kind = std::uint32_t(kind);
        envelope.key[0] = key.low;
        envelope.key[1] = key.high;
        envelope.payloadBytes = payload.size();
        Digest digest = digestOf(payload);
        envelope.digest[0] = digest.low;
        envelope.digest[1] = digest.high;
        std::vector<std::uint8_t> bytes(sizeof envelope + payload.size());
        std::memcpy(bytes.data(), &envelope, sizeof envelope);
        if (!payload.empty()) std::memcpy(bytes.data() + sizeof envelope, payload.data(), payload.size());
        Files::createFolders(file.parent_path());
        Files::replaceAtomically(file, bytes);
        ++tally().written;
        return true;
    } catch (...) {
        ++tally().writeFailures;
        return false;
    }
}

void removeOthers(const fs::path& file, std::string_view prefix) noexcept
{
    std::error_code error;
    for (fs::directory_iterator it(file.parent_path(), error), end; !error && it != end; it.increment(error)) {
        const fs::path& path = it->path();
        if (path.filename() != file.filename() && path.filename().string().starts_with(prefix)) {
            std::error_code ignored;
            fs::remove(path, ignored);
        }
    }
}

Counters counters()
{
    AtomicCounters& t = tally();
    return Counters{t.found.load(), t.absent.load(), t.rejected.load(), t.written.load(), t.writeFailures.load()};
}

} // namespace veltrane::GpuDiskCache
