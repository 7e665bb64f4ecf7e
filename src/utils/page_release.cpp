#include "utils/page_release.h"

#include <cstdint>
#include <cstdlib>

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

std::uintptr_t page_size() {
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  return page;
}
#endif

}  // namespace

void release_pages(void* data, std::size_t size) {
#if defined(__linux__)
  advise_whole_pages(data, size, page_size(), MADV_DONTNEED);
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

void* map_pages(std::size_t size, bool populate) {
#if defined(__linux__)
  constexpr std::size_t kHugePage = std::size_t{1} << 21;
  if (size < kHugePage) {
    void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | (populate ? MAP_POPULATE : 0),
                    -1, 0);
    return at == MAP_FAILED ? nullptr : at;
  }
  // A huge page more than asked for, then the stretches before the first
  // boundary and after the buffer's end handed back.
  void* mapped = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const std::uintptr_t page = page_size();
  const std::uintptr_t length = (size + page - 1) & ~(page - 1);
  const auto begin = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (begin + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > begin) munmap(mapped, aligned - begin);
  if (aligned < begin + kHugePage) munmap(reinterpret_cast<void*>(aligned + length), begin + kHugePage - aligned);
  void* at = reinterpret_cast<void*>(aligned);
  advise_whole_pages(at, size, kHugePage, MADV_HUGEPAGE);
  if (populate) populate_pages(at, size);
  return at;
#else
  (void)populate;
  return std::calloc(size, 1);
#endif
}

void unmap_pages(void* at, std::size_t size) {
#if defined(__linux__)
  munmap(at, size);
#else
  (void)size;
  std::free(at);
#endif
}

}  // namespace vantorelle
