#include "utils/page_release.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vantorelle {
namespace {

#if defined(__linux__)
// Gives `advice` for the whole pages of `page` bytes (a power of two) that
// lie inside [data, data + size).
void advise_whole_pages(void* data, std::size_t size, std::uintptr_t page, int advice) {
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, advice);
}
#endif

}  // namespace

void release_pages(void* data, std::size_t size) {
#if defined(__linux__)
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  advise_whole_pages(data, size, page, MADV_DONTNEED);
#else
  (void)data;
  (void)size;
#endif
}

void prefer_huge_pages(void* data, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size >= kHugePagedBytes) advise_whole_pages(data, size, std::uintptr_t{1} << 21, MADV_HUGEPAGE);
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
