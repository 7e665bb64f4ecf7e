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

void prefer_huge_pages(void* data, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size < kHugePagedBytes) return;
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

void populate_pages(void* data, std::size_t size) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  // (kernels before 5.14 refuse it; their pages fault in as written)
  madvise(data, size, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace vantorelle
