#include "utils/page_release.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vantorelle {

void release_pages(void* data, std::size_t size) {
#if defined(__linux__)
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace vantorelle
