// Counts every heap allocation of a benchmark program: operator new is replaced, and malloc,
// calloc and realloc are interposed so that C libraries (expat, libusb) are seen as well.
// Include it in exactly one source file of a program.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void __libc_free(void*);

namespace zyl::bench {
inline std::atomic<std::size_t> news{0};
inline std::atomic<std::size_t> mallocs{0};
// Allocations of any kind so far.
inline std::size_t allocations() {
  return mallocs.load(std::memory_order_relaxed);
}
}  // namespace zyl::bench

extern "C" void* malloc(std::size_t size) {
  zyl::bench::mallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  zyl::bench::mallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, std::size_t size) {
  zyl::bench::mallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, size);
}

void* operator new(std::size_t size) {
  zyl::bench::news.fetch_add(1, std::memory_order_relaxed);
  if (void* p = malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// __libc_free rather than free: GCC, seeing free() behind an inlined delete, warns of a
// mismatch it cannot rule out.
void operator delete(void* p) noexcept {
  __libc_free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  __libc_free(p);
}
