// While an archive is being read, no single allocation of the engine may exceed MaxAllocation: a size
// that a hostile header declares (a table, a buffer, a window) then makes the allocation fail, and the
// reader reports the object damaged or not fully scanned, instead of taking the process's memory. The
// archive libraries allocate from their headers as they see fit; this is their bound. The engine is
// linked with --wrap for malloc, calloc and realloc (and posix_memalign outside Windows), and operator
// new allocates through malloc.
#include "refengine/object/AllocationCap.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

namespace {

std::atomic<int> readers{0};

bool TooLarge(size_t size) { return size > RefEngine::MaxAllocation && readers.load(std::memory_order_relaxed) > 0; }

}  // namespace

namespace RefEngine {

ArchiveAllocations::ArchiveAllocations() { readers.fetch_add(1, std::memory_order_relaxed); }
ArchiveAllocations::~ArchiveAllocations() { readers.fetch_sub(1, std::memory_order_relaxed); }

}  // namespace RefEngine

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);

void* __wrap_malloc(size_t size) {
    if (TooLarge(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return __real_malloc(size);
}

void* __wrap_calloc(size_t count, size_t size) {
    if (size != 0 && (count > SIZE_MAX / size || TooLarge(count * size))) {
        errno = ENOMEM;
        return nullptr;
    }
    return __real_calloc(count, size);
}

void* __wrap_realloc(void* block, size_t size) {
    if (TooLarge(size)) {
        errno = ENOMEM;
        return nullptr;  // the old block stays as it was
    }
    return __real_realloc(block, size);
}

#ifndef _WIN32
// Where aligned blocks come from outside Windows (the native build that fuzzes the libraries).
int __real_posix_memalign(void** block, size_t alignment, size_t size);
int __wrap_posix_memalign(void** block, size_t alignment, size_t size) {
    if (TooLarge(size)) return ENOMEM;
    return __real_posix_memalign(block, alignment, size);
}
#endif
}

void* operator new(size_t size) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
