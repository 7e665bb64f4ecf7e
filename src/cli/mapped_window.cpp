#include "cli/mapped_window.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>

namespace vantorelle::cli {
namespace {

// Mapped at a time: large enough that mapping costs nothing per byte, small
// enough that a huge file's first lines are hashed at once.
constexpr std::uint64_t kWindow = 64 << 20;
// Smaller files are read: mapping would gain nothing.
constexpr std::uint64_t kSmallest = 1 << 20;

// The message of a SIGBUS while a window is read, written by the handler.
char shrink_message[512];
std::size_t shrink_message_size = 0;

void on_bus_error(int) {
  const ssize_t written = write(STDERR_FILENO, shrink_message, shrink_message_size);
  (void)written;
  _exit(1);
}

}  // namespace

bool mappable(int fd, std::uint64_t* size) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  *size = static_cast<std::uint64_t>(info.st_size);
  return *size >= kSmallest;
}

MappedWindows::MappedWindows(int fd, std::uint64_t size, const std::string& name)
    : fd_(fd), size_(size) {
  const std::string message = "vantorelle: " + name + ": the file shrank while it was read\n";
  shrink_message_size = std::min(message.size(), sizeof shrink_message);
  std::memcpy(shrink_message, message.data(), shrink_message_size);
  struct sigaction action {};
  action.sa_handler = on_bus_error;
  sigaction(SIGBUS, &action, nullptr);
}

MappedWindows::~MappedWindows() {
  unmap();
  signal(SIGBUS, SIG_DFL);
}

void MappedWindows::unmap() {
  if (window_ != nullptr) munmap(window_, window_size_);
  window_ = nullptr;
}

bool MappedWindows::next(const std::uint8_t** data, std::size_t* size, std::size_t limit) {
  if (offset_ >= size_) {
    unmap();
    *size = 0;
    return true;
  }
  if (window_ == nullptr || offset_ >= window_start_ + window_size_) {
    unmap();
    window_start_ = offset_;
    window_size_ = static_cast<std::size_t>(std::min(kWindow, size_ - offset_));
    void* mapped = mmap(nullptr, window_size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd_,
                        static_cast<off_t>(window_start_));
    if (mapped == MAP_FAILED) return false;
    window_ = mapped;
  }
  const std::uint64_t in_window = offset_ - window_start_;
  *data = static_cast<const std::uint8_t*>(window_) + in_window;
  *size = static_cast<std::size_t>(std::min<std::uint64_t>(limit, window_size_ - in_window));
  offset_ += *size;
  return true;
}

}  // namespace vantorelle::cli
