#pragma once
// Counts heap allocations and mutex locks made inside the audio callbacks of this process.
//
// Include in exactly one source file of a test executable: it replaces malloc, calloc, realloc
// and pthread_mutex_lock for the whole process (operator new allocates through malloc) and counts
// the calls made on a thread while `veltrane::isInAudioCallback()` is true.
//
// Under AddressSanitizer or ThreadSanitizer the sanitizer owns the allocator and the lock
// interceptors, and replacing them crashes at start-up: there the watch is compiled out, the counts
// stay at zero and `kWatching` is false (tests that prove the watch itself skip).
#include "Platform/Audio/AudioOutput.h"

#include <atomic>
#include <cstddef>

#include <pthread.h>

namespace veltrane::testsupport {
inline std::atomic<long> callbackAllocations{0};
inline std::atomic<long> callbackLocks{0};
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kWatching = false;
#else
inline constexpr bool kWatching = true;
#endif
} // namespace veltrane::testsupport

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
// The lock's own implementation under its compatibility name, so the wrapper below can call it.
int veltraneRealMutexLock(pthread_mutex_t*);
__asm__(".symver veltraneRealMutexLock, __pthread_mutex_lock@GLIBC_2.2.5");
}

extern "C" {
void* malloc(std::size_t n)
{
    if (veltrane::isInAudioCallback())
        veltrane::testsupport::callbackAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size)
{
    if (veltrane::isInAudioCallback())
        veltrane::testsupport::callbackAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n)
{
    if (veltrane::isInAudioCallback())
        veltrane::testsupport::callbackAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
int pthread_mutex_lock(pthread_mutex_t* mutex)
{
    if (veltrane::isInAudioCallback()) veltrane::testsupport::callbackLocks.fetch_add(1, std::memory_order_relaxed);
    return veltraneRealMutexLock(mutex);
}
}
#endif
