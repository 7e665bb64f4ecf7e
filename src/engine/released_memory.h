// Memory of the grouping that goes back to the system when it is freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "utils/page_release.h"

namespace vantorelle::engine::grouping {

// Below this, memory is left to the allocator: little, and a system call
// would cost more than it saves.
constexpr std::size_t kReleasedBytes = std::size_t{1} << 16;

// Bytes whose pages go back to the system when they are freed, not only to
// the allocator (which may keep them, resident, in the middle of its heap):
// the grouping's tables and keys are gone before the aggregation's next
// step needs its memory. From kReleasedBytes on they are mapped straight
// from the system (huge pages from 2 MiB, see map_pages); pages are only
// touched as the bytes are written. Not initialised.
class ReleasedBytes {
 public:
  ReleasedBytes() = default;
  explicit ReleasedBytes(std::size_t size)
      : data_(size >= kReleasedBytes ? static_cast<std::uint8_t*>(map_pages(size, false)) : new std::uint8_t[size]),
        size_(size) {
    if (data_ == nullptr) throw std::bad_alloc();
  }
  ReleasedBytes(ReleasedBytes&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  ReleasedBytes& operator=(ReleasedBytes&& other) noexcept {
    drop();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  ~ReleasedBytes() { drop(); }

  std::uint8_t* get() const { return data_; }

 private:
  void drop() {
    if (data_ == nullptr) return;
    if (size_ >= kReleasedBytes) unmap_pages(data_, size_);
    else delete[] data_;
  }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Frees a vector, its pages given back to the system.
template <class T, class Allocator>
void release_vector(std::vector<T, Allocator>& values) {
  if (values.size() * sizeof(T) >= kReleasedBytes) release_pages(values.data(), values.size() * sizeof(T));
  std::vector<T, Allocator>().swap(values);
}

// Makes room for `values` to double, its old buffer's pages given back.
template <class T>
[[gnu::noinline]] void grow_released(std::vector<T>& values) {
  std::vector<T> bigger;
  bigger.reserve(values.capacity() < 512 ? 1024 : 2 * values.capacity());
  bigger.assign(values.begin(), values.end());
  release_vector(values);
  values.swap(bigger);
}

// push_back, growing as grow_released does: a vector that grows while the
// rows are grouped leaves no freed buffers resident behind it.
template <class T>
void push_released(std::vector<T>& values, const std::type_identity_t<T>& value) {
  if (values.size() == values.capacity()) [[unlikely]] grow_released(values);
  values.push_back(value);
}

}  // namespace vantorelle::engine::grouping
