// An allocator for the large scratch arrays of one call (per-row or
// per-group arrays of millions of entries). Mapped, they come straight from
// the system and go back to it when freed: the C allocator would keep a
// large freed block for reuse, and a later step that does not fit it (or
// runs on another thread) would add its own memory to the call's peak.
//
// resize() leaves new elements unset: each of these arrays is written in
// full before it is read, so zeroing it first would be a wasted pass (and
// its pages are mapped up front for the same reason).
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "utils/page_release.h"

namespace vantorelle {

template <class T>
struct MappedAllocator {
  using value_type = T;
  // A container keeps the allocator its memory came from.
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_copy_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;
  // Smaller arrays come from the C allocator.
  static constexpr std::size_t kMappedBytes = std::size_t{1} << 20;

  // Unmapped, the arrays come from the C allocator, which keeps freed
  // blocks for the next call: faster for repeated calls whose peak does not
  // matter.
  explicit MappedAllocator(bool mapped = false) noexcept : mapped(mapped) {}
  // Mapped from half as many bytes on, and its pages left to fault in as
  // they are written: for a buffer reserved to a loose bound of what will
  // be written, or filled while other work goes on. Its mapping is rounded
  // up to whole huge pages, so that it faults in 2 MiB at a time, where the
  // C allocator's reused blocks take a fault every 4 KiB.
  static MappedAllocator written_as_needed() noexcept {
    MappedAllocator allocator(true);
    allocator.populate = false;
    return allocator;
  }
  template <class U>
  MappedAllocator(const MappedAllocator<U>& other) noexcept : mapped(other.mapped), populate(other.populate) {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (maps(n)) {
      // Pages that will all be written are mapped at once, which costs
      // less than a fault on each; huge pages (where the system gives them)
      // cost less than small ones.
      void* at = map_pages(mapped_bytes(bytes), populate);
      if (at == nullptr) throw std::bad_alloc();
      return static_cast<T*>(at);
    }
    T* at = std::allocator<T>().allocate(n);
    prefer_huge_pages(at, bytes);
    return at;
  }

  void deallocate(T* at, std::size_t n) noexcept {
    if (maps(n)) {
      unmap_pages(at, mapped_bytes(n * sizeof(T)));
      return;
    }
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
  bool operator==(const MappedAllocator<U>& other) const noexcept {
    return mapped == other.mapped && populate == other.populate;
  }

  bool maps(std::size_t n) const { return mapped && n * sizeof(T) >= (populate ? kMappedBytes : kMappedBytes / 2); }
  std::size_t mapped_bytes(std::size_t bytes) const {
    constexpr std::size_t kHugePage = std::size_t{1} << 21;
    return populate ? bytes : (bytes + kHugePage - 1) & ~(kHugePage - 1);
  }

  bool mapped;
  bool populate = true;
};

template <class T>
using MappedVector = std::vector<T, MappedAllocator<T>>;

}  // namespace vantorelle
