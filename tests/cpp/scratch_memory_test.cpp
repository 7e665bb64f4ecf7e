// The containers that hand large scratch arrays back to the system: mapped
// vectors, vectors grown and freed with their pages released, and the page
// calls beneath them. Each must keep every value a plain vector keeps.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "engine/released_memory.h"
#include "utils/mapped_allocator.h"
#include "utils/page_release.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#endif

namespace vantorelle {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

// Past the mapped threshold for 32-bit values, and below it.
constexpr std::size_t kLarge = MappedAllocator<std::uint32_t>::kMappedBytes / sizeof(std::uint32_t) + 1000;
// Past the size that is offered huge pages (mapped, then populated).
constexpr std::size_t kHuge = kHugePagedBytes / sizeof(std::uint32_t) + 1000;

void expect_same(const MappedVector<std::uint32_t>& vector, const std::vector<std::uint32_t>& model) {
  ASSERT_EQ(vector.size(), model.size());
  for (std::size_t i = 0; i < model.size(); ++i) ASSERT_EQ(vector[i], model[i]) << "at " << i;
}

// The C allocator's, mapped (its pages asked for at once), and mapped
// rounded up to huge pages (left to fault in).
MappedAllocator<std::uint32_t> allocator_of_kind(int kind) {
  return kind == 2 ? MappedAllocator<std::uint32_t>::written_as_needed() : MappedAllocator<std::uint32_t>(kind == 1);
}

// The process's mapped size (VmSize), in bytes; 0 where it is not known.
std::size_t mapped_size() {
#if defined(__linux__)
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
  }
#endif
  return 0;
}

// Random operations on two vectors, each of any kind, against plain
// vectors: memory moved between them must be freed the way it was taken
// (a mapped block given to free() is a crash under AddressSanitizer).
TEST(MappedVectorTest, KeepsWhatAPlainVectorKeeps) {
  std::mt19937_64 random(20261209);
  for (int round = 0; round < 18; ++round) {
    MappedVector<std::uint32_t> vectors[2] = {MappedVector<std::uint32_t>(allocator_of_kind(round % 3)),
                                              MappedVector<std::uint32_t>(allocator_of_kind(round / 3 % 3))};
    std::vector<std::uint32_t> models[2];
    for (int step = 0; step < 16; ++step) {
      const int k = static_cast<int>(random() % 2);
      switch (random() % 5) {
        case 0: {  // resize, new values written before they are read
          const std::size_t size = random() % 4 == 0   ? random() % 100
                                   : random() % 3 == 0 ? kLarge / 2 - 500 + random() % 1000
                                   : random() % 2 == 0 ? kLarge + random() % kLarge
                                                       : kHuge + random() % kLarge;
          const std::size_t old = vectors[k].size();
          vectors[k].resize(size);
          models[k].resize(size);
          for (std::size_t i = old; i < size; ++i) vectors[k][i] = models[k][i] = static_cast<std::uint32_t>(random());
          break;
        }
        case 1:  // grow one value at a time, across reallocations
          for (std::size_t i = 0, n = random() % (kLarge / 4); i < n; ++i) {
            const auto value = static_cast<std::uint32_t>(random());
            vectors[k].push_back(value);
            models[k].push_back(value);
          }
          break;
        case 2:
          vectors[k] = std::move(vectors[1 - k]);
          models[k] = std::move(models[1 - k]);
          vectors[1 - k].clear();
          models[1 - k].clear();
          break;
        case 3:
          std::swap(vectors[0], vectors[1]);
          std::swap(models[0], models[1]);
          break;
        default:
          vectors[k] = vectors[1 - k];
          models[k] = models[1 - k];
          break;
      }
      expect_same(vectors[0], models[0]);
      expect_same(vectors[1], models[1]);
    }
  }
}

#if defined(__linux__)
// Mapped vectors of sizes about every threshold (half a MiB, a MiB, a huge
// page), grown, copied, swapped and freed: each mapping is handed back at
// the size it was taken, so nothing stays mapped (the C allocator, whose
// heap would grow, takes no part).
TEST(MappedVectorTest, MappedMemoryIsHandedBackWhole) {
  std::mt19937_64 random(8);
  const std::size_t before = mapped_size();
  for (int round = 0; round < 300; ++round) {
    const MappedAllocator<std::uint32_t> allocator = allocator_of_kind(1 + round % 2);
    MappedVector<std::uint32_t> grown(allocator), sized(allocator);
    const std::size_t thresholds[] = {kLarge / 2, kLarge, (std::size_t{1} << 21) / 4, kHuge};
    const std::size_t size = thresholds[random() % 4] - 2000 + random() % 4000;
    sized.resize(size);
    sized[size - 1] = 1;
    for (std::size_t i = 0, n = random() % size; i < n; ++i) grown.push_back(static_cast<std::uint32_t>(i));
    std::swap(grown, sized);
    sized = grown;
    grown = std::move(sized);
    ASSERT_EQ(grown.size(), size);
    ASSERT_EQ(grown[size - 1], 1u);
  }
  // (AddressSanitizer keeps freed heap blocks mapped, in its quarantine)
  if (kAddressSanitizer) GTEST_SKIP() << "the mapped size is not this code's alone under AddressSanitizer";
  EXPECT_LT(mapped_size(), before + (std::size_t{1} << 21));
}
#endif

TEST(ReleasedMemoryTest, GrowingAndFreeingKeepsTheValues) {
  std::mt19937_64 random(7);
  std::vector<std::uint64_t> values;
  std::vector<std::uint64_t> model;
  for (std::size_t i = 0; i < 300000; ++i) {
    const std::uint64_t value = random();
    engine::grouping::push_released(values, value);
    model.push_back(value);
  }
  EXPECT_EQ(values, model);
  engine::grouping::release_vector(values);
  EXPECT_TRUE(values.empty());
  EXPECT_EQ(values.capacity(), 0u);
}

#if defined(__linux__)
// Only whole pages inside the range are released (read as zeros); the
// bytes at either end, on pages the range shares with other data, keep
// their values. Ranges start and end at every kind of offset.
TEST(ReleasedMemoryTest, ReleasesOnlyWholePagesInsideTheRange) {
  const auto kPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::vector<std::uint8_t> memory(16 * kPage);
  const auto base = reinterpret_cast<std::uintptr_t>(memory.data());
  std::mt19937_64 random(11);
  for (int round = 0; round < 200; ++round) {
    for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<std::uint8_t>(i % 251 + 1);
    const std::size_t begin = random() % (memory.size() / 2);
    const std::size_t size = random() % (memory.size() - begin);
    release_pages(memory.data() + begin, size);
    const std::uintptr_t first_page = (base + begin + kPage - 1) / kPage * kPage;
    const std::uintptr_t end_page = (base + begin + size) / kPage * kPage;
    for (std::size_t i = 0; i < memory.size(); ++i) {
      const std::uintptr_t at = base + i;
      if (at < base + begin || at >= base + begin + size) {
        ASSERT_EQ(memory[i], i % 251 + 1) << "outside the range, at " << i;
      } else if (at < first_page || at >= end_page) {
        ASSERT_EQ(memory[i], i % 251 + 1) << "on a page shared with the range's ends, at " << i;
      } else {
        ASSERT_EQ(memory[i], 0) << "on a page inside the range, at " << i;
      }
    }
  }
}
#endif

#if defined(__linux__) && defined(MADV_HUGEPAGE)
// The ranges of this process's mappings whose flags ask for huge pages
// (VmFlags "hg" in /proc/self/smaps), within [begin, end).
std::vector<std::pair<std::uintptr_t, std::uintptr_t>> huge_page_ranges(std::uintptr_t begin, std::uintptr_t end) {
  std::vector<std::pair<std::uintptr_t, std::uintptr_t>> found;
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  std::uintptr_t from = 0;
  std::uintptr_t to = 0;
  while (std::getline(smaps, line)) {
    unsigned long long a = 0;
    unsigned long long b = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx ", &a, &b) == 2 && line.find(' ') > line.find('-')) {
      from = static_cast<std::uintptr_t>(a);
      to = static_cast<std::uintptr_t>(b);
    } else if (line.rfind("VmFlags:", 0) == 0 && line.find(" hg") != std::string::npos && from >= begin &&
               to <= end) {
      found.emplace_back(from, to);
    }
  }
  return found;
}

// The advice covers exactly the whole huge pages inside a buffer, whatever
// its ends; a buffer below the threshold gets none.
TEST(PageReleaseTest, HugePagesAskedForTheWholeHugePagesInsideABuffer) {
  constexpr std::size_t kHugePage = std::size_t{1} << 21;
  const std::size_t span = 8 * kHugePage;
  void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  const auto base = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (base + kHugePage - 1) / kHugePage * kHugePage;
  // A buffer from 4 KiB past a huge page boundary to 4 KiB before a later
  // one: its inside is the whole huge pages between.
  const std::uintptr_t begin = aligned + 4096;
  const std::uintptr_t end = aligned + 5 * kHugePage - 4096;
  prefer_huge_pages(reinterpret_cast<void*>(begin), end - begin);
  const auto ranges = huge_page_ranges(base, base + span);
  if (ranges.empty() && madvise(mapped, kHugePage, MADV_HUGEPAGE) != 0) {
    munmap(mapped, span);
    GTEST_SKIP() << "this kernel has no transparent huge pages";
  }
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_EQ(ranges[0].first, aligned + kHugePage);
  EXPECT_EQ(ranges[0].second, aligned + 4 * kHugePage);
  munmap(mapped, span);

  void* small = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(small, MAP_FAILED);
  const auto small_base = reinterpret_cast<std::uintptr_t>(small);
  prefer_huge_pages(small, kHugePagedBytes - 1);
  EXPECT_TRUE(huge_page_ranges(small_base, small_base + span).empty());
  munmap(small, span);
}


// Buffers below, at and past a huge page, at odd sizes: zeros, writable to
// their last byte, those of a huge page or more starting on a huge page
// boundary with exactly their whole huge pages advised; and handing them
// back leaves nothing mapped behind (the stretch mapped beyond the buffer
// to align it is trimmed, not leaked).
TEST(PageReleaseTest, MappedPagesAreAlignedAdvisedAndHandedBackWhole) {
  constexpr std::size_t kHugePage = std::size_t{1} << 21;
  const std::size_t before = mapped_size();
  for (const std::size_t size : {std::size_t{4096}, kHugePage - 1, kHugePage, kHugePage + 1, 3 * kHugePage + 12345,
                                 5 * kHugePage}) {
    SCOPED_TRACE(size);
    for (int round = 0; round < 20; ++round) {
      auto* at = static_cast<std::uint8_t*>(map_pages(size, round % 2 == 0));
      ASSERT_NE(at, nullptr);
      const auto address = reinterpret_cast<std::uintptr_t>(at);
      if (size >= kHugePage) {
        ASSERT_EQ(address % kHugePage, 0u);
        if (round == 0) {
          const auto ranges = huge_page_ranges(address, address + size + kHugePage);
          if (!ranges.empty()) {
            ASSERT_EQ(ranges.size(), 1u);
            EXPECT_EQ(ranges[0].first, address);
            EXPECT_EQ(ranges[0].second, address + size / kHugePage * kHugePage);
          }
        }
      }
      ASSERT_EQ(at[0], 0);
      ASSERT_EQ(at[size / 2], 0);
      ASSERT_EQ(at[size - 1], 0);
      at[0] = at[size - 1] = 1;
      unmap_pages(at, size);
    }
  }
  // 120 buffers of up to 12 MiB: one leaked stretch would show.
  EXPECT_LT(mapped_size(), before + kHugePage);
}
#endif

}  // namespace
}  // namespace vantorelle
