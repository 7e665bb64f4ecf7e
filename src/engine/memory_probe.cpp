#include "engine/memory_probe.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace vantorelle::engine {

bool readable(const void* data, std::size_t size) {
  if (size == 0) return true;
  if (data == nullptr) return false;
  static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  if (begin + size < begin) return false;  // wraps around the address space
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
