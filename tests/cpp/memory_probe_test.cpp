// The readability probe over a region laid out to trip it, at sizes read
// page by page and sizes looked up in the process's mappings:
//   [A readable][P no access, one page][B readable][hole, one page][C readable]
#include "engine/memory_probe.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace vantorelle::engine {
namespace {

TEST(MemoryProbe, RefusesRangesThatReachAnUnreadableOrMissingPage) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t side = (std::size_t{5} << 20) / page * page;  // above the mappings' threshold
  const std::size_t total = side + page + side + page + page;
  void* mapped = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  auto* a = static_cast<std::uint8_t*>(mapped);
  std::uint8_t* p = a + side;
  std::uint8_t* b = p + page;
  std::uint8_t* hole = b + side;
  ASSERT_EQ(mprotect(p, page, PROT_NONE), 0);
  ASSERT_EQ(munmap(hole, page), 0);

  for (const std::size_t size : {std::size_t{100}, 3 * page, side}) {
    SCOPED_TRACE(size);
    EXPECT_TRUE(readable(p - size, size));          // the end of A
    EXPECT_FALSE(readable(p - size + 1, size));     // one byte into P
    EXPECT_TRUE(readable(hole - size, size));       // the end of B
    EXPECT_FALSE(readable(hole - size + 1, size));  // one byte into the hole
    EXPECT_FALSE(readable(p, size));                // P itself
  }
  EXPECT_TRUE(readable(a, side));
  EXPECT_FALSE(readable(a, total));
  EXPECT_TRUE(readable(a, 0));
  EXPECT_FALSE(readable(reinterpret_cast<void*>(UINTPTR_MAX - 10), side));  // wraps around
  munmap(a, side + page + side);
  munmap(hole + page, page);
}

}  // namespace
}  // namespace vantorelle::engine
