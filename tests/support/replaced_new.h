// Replaces global operator new and delete in the one test executable that
// includes it (include it in one file only): every request goes to
// `replaced_new_hook(size)` first, which the test defines, then to malloc.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

void replaced_new_hook(std::size_t size);

namespace vorlane::test {
inline void* replaced_allocate(std::size_t size) {
  replaced_new_hook(size);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace vorlane::test

void* operator new(std::size_t size) { return vorlane::test::replaced_allocate(size); }
void* operator new[](std::size_t size) { return vorlane::test::replaced_allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
