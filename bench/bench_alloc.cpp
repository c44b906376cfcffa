// Counting allocators of the benchmark binary. operator new is replaced as
// the language allows; the malloc family is interposed (the executable's
// definitions win over the C library's for every loaded library) and
// forwards to the C library's own entry points.
#include "bench_alloc.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<uint64_t> g_new{0};
std::atomic<uint64_t> g_heap{0};
}  // namespace

zb::AllocCounts zb::allocCounts() {
    return {g_new.load(std::memory_order_relaxed), g_heap.load(std::memory_order_relaxed)};
}

extern "C" {
void* malloc(size_t n) {
    g_heap.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void* calloc(size_t a, size_t b) {
    g_heap.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(a, b);
}
void* realloc(void* p, size_t n) {
    g_heap.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
void* memalign(size_t align, size_t n) {
    g_heap.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) {
    g_heap.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(align, n);
}
int posix_memalign(void** out, size_t align, size_t n) {
    if (align < sizeof(void*) || (align & (align - 1)) != 0) return EINVAL;
    g_heap.fetch_add(1, std::memory_order_relaxed);
    void* p = __libc_memalign(align, n);
    if (p == nullptr && n != 0) return ENOMEM;
    *out = p;
    return 0;
}
}  // extern "C"

void* operator new(std::size_t n) {
    g_new.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    g_new.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
