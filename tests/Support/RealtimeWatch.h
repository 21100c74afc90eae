#pragma once
// Counts heap allocations and mutex locks made inside the audio callbacks of this process.
//
// Include in exactly one source file of a test executable: it replaces malloc, calloc, realloc
// and pthread_mutex_lock for the whole process (operator new allocates through malloc) and counts
// the calls made on a thread while `veltrane::isInAudioCallback()` is true.
#include "Platform/Audio/AudioOutput.h"

#include <atomic>
#include <cstddef>

#include <pthread.h>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
// The lock's own implementation under its compatibility name, so the wrapper below can call it.
int veltraneRealMutexLock(pthread_mutex_t*);
__asm__(".symver veltraneRealMutexLock, __pthread_mutex_lock@GLIBC_2.2.5");
}

namespace veltrane::testsupport {
inline std::atomic<long> callbackAllocations{0};
inline std::atomic<long> callbackLocks{0};
} // namespace veltrane::testsupport

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
    if (veltrane::isInAudioCallback())
        veltrane::testsupport::callbackLocks.fetch_add(1, std::memory_order_relaxed);
    return veltraneRealMutexLock(mutex);
}
}
