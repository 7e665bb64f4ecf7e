#include "engine/memory_probe.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace vantorelle::engine {
namespace {

// Whether [begin, end) lies within readable mappings, from the kernel's list
// of this process's mappings (ascending, one a line: "start-end perms ...");
// nothing when the list cannot be read.
std::optional<bool> readable_by_mappings(std::uintptr_t begin, std::uintptr_t end) {
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return std::nullopt;
  std::uintptr_t covered = begin;
  bool readable = false;
  char line[512];
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    std::uintmax_t start, stop;
    char read_permission;
    if (std::sscanf(line, "%" SCNxMAX "-%" SCNxMAX " %c", &start, &stop, &read_permission) != 3) {
      std::fclose(maps);
      return std::nullopt;
    }
    // A line longer than the buffer: skip the rest of it.
    while (std::strchr(line, '\n') == nullptr && std::fgets(line, sizeof line, maps) != nullptr) {}
    if (stop <= covered) continue;
    if (start > covered || read_permission != 'r') break;
    covered = static_cast<std::uintptr_t>(stop);
    if (covered >= end) {
      readable = true;
      break;
    }
  }
  std::fclose(maps);
  return readable;
}

// Ranges of at least this many bytes are looked up in the mappings' list
// (one read of it, a few hundred microseconds) rather than probed a page at
// a time (about half a microsecond a page).
constexpr std::size_t kMappingsFrom = std::size_t{4} << 20;

}  // namespace

bool readable(const void* data, std::size_t size) {
  if (size == 0) return true;
  if (data == nullptr) return false;
  static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  if (begin + size < begin) return false;  // wraps around the address space
  if (size >= kMappingsFrom) {
    if (const std::optional<bool> mapped = readable_by_mappings(begin, begin + size)) return *mapped;
  }
  const std::uintptr_t last = begin + size - 1;
  // One byte at the start of the range and at the start of every later page.
  constexpr std::size_t kBatch = 512;  // within IOV_MAX
  std::vector<iovec> remote;
  remote.reserve(kBatch);
  std::vector<unsigned char> sink(kBatch);
  std::uintptr_t at = begin;
  while (true) {
    remote.clear();
    while (remote.size() < kBatch) {
      remote.push_back(iovec{reinterpret_cast<void*>(at), 1});
      const std::uintptr_t next = (at & ~(page - 1)) + page;
      if (next > last || next < at) {
        at = 0;
        break;
      }
      at = next;
    }
    iovec local{sink.data(), remote.size()};
    const ssize_t read = process_vm_readv(getpid(), &local, 1, remote.data(), remote.size(), 0);
    if (read < 0) {
      // The probe itself is not available here: nothing can be told.
      if (errno == ENOSYS || errno == EPERM) return true;
      return false;
    }
    if (static_cast<std::size_t>(read) != remote.size()) return false;
    if (at == 0) return true;
  }
}

}  // namespace vantorelle::engine
