#include "Support/UUID.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>

namespace veltrane::UUID {

std::string random()
{
    static std::mutex lock;
    static std::mt19937_64 source{std::random_device{}()};
    std::uint64_t hi, lo;
    {
        const std::lock_guard hold(lock);
        hi = source();
        lo = source();
    }
    hi = (hi & ~0xf000ull) | 0x4000ull;                 // version 4
    lo = (lo & ~(0xc000ull << 48)) | (0x8000ull << 48); // RFC 4122 variant
    char text[40];
    std::snprintf(text, sizeof text, "%08llx-%04llx-%04llx-%04llx-%012llx", (unsigned long long)(hi >> 32),
                  (unsigned long long)((hi >> 16) & 0xffff), (unsigned long long)(hi & 0xffff),
                  (unsigned long long)(lo >> 48), (unsigned long long)(lo & 0xffffffffffffull));
    return text;
}

std::string randomUpper()
{
    std::string text = random();
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

} // namespace veltrane::UUID
