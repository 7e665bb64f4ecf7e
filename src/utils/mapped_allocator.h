// An allocator for the large scratch arrays of one call (per-row or
// per-group arrays of millions of entries): they come straight from the
// system and go back to it when freed. The C allocator would keep a large
// freed block for reuse, and a later step that does not fit it (or runs on
// another thread) would add its own memory to the call's peak.
//
// resize() leaves new elements unset: each of these arrays is written in
// full before it is read, so zeroing it first would be a wasted pass (and
// its pages are mapped up front for the same reason).
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#endif

namespace vantorelle {

#if defined(MAP_POPULATE)
inline constexpr int kPopulate = MAP_POPULATE;
#elif defined(__unix__)
inline constexpr int kPopulate = 0;
#endif

template <class T>
struct MappedAllocator {
  using value_type = T;
  // Smaller arrays come from the C allocator.
  static constexpr std::size_t kMappedBytes = std::size_t{1} << 20;

  MappedAllocator() = default;
  template <class U>
  MappedAllocator(const MappedAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
#if defined(__unix__)
    if (n * sizeof(T) >= kMappedBytes) {
      // Every page is written: mapping them all at once costs less than a
      // fault on each.
      void* at = mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | kPopulate, -1, 0);
      if (at == MAP_FAILED) throw std::bad_alloc();
      return static_cast<T*>(at);
    }
#endif
    return std::allocator<T>().allocate(n);
  }

  void deallocate(T* at, std::size_t n) noexcept {
#if defined(__unix__)
    if (n * sizeof(T) >= kMappedBytes) {
      munmap(at, n * sizeof(T));
      return;
    }
#endif
    std::allocator<T>().deallocate(at, n);
  }

  template <class U>
  void construct(U* at) noexcept {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }

  template <class U>
  bool operator==(const MappedAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using MappedVector = std::vector<T, MappedAllocator<T>>;

}  // namespace vantorelle
