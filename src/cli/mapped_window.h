// A regular file read through windows of memory mappings rather than read():
// the page cache's pages are hashed where they lie, without the copy of
// every byte that read() makes.
//
// A file that shrinks while it is mapped would raise SIGBUS on the missing
// pages; that signal ends the run with a one-line message and exit status 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantorelle::cli {

class MappedWindows {
 public:
  // Reads `fd` (a regular file of `size` bytes, named `name` in messages).
  MappedWindows(int fd, std::uint64_t size, const std::string& name);
  ~MappedWindows();
  MappedWindows(const MappedWindows&) = delete;
  MappedWindows& operator=(const MappedWindows&) = delete;

  // The next `at most limit` bytes (0 at the end); false when a window
  // cannot be mapped (then nothing of it was read: the caller may read()
  // from offset `offset()` on).
  bool next(const std::uint8_t** data, std::size_t* size, std::size_t limit);
  std::uint64_t offset() const { return offset_; }

 private:
  void unmap();

  int fd_;
  std::uint64_t size_;
  std::uint64_t offset_ = 0;  // of the next byte handed out
  void* window_ = nullptr;
  std::uint64_t window_start_ = 0;
  std::size_t window_size_ = 0;
};

// Whether `fd` is a regular file worth mapping; its size when it is.
bool mappable(int fd, std::uint64_t* size);

}  // namespace vantorelle::cli
