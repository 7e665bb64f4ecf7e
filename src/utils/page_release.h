// A large buffer's pages and the system: handing them back while the
// buffer lives (for a buffer whose contents have been copied elsewhere, so
// that the copy and the original are not both resident), and asking for
// them in fewer, larger steps than a fault on each.
#pragma once

#include <cstddef>

namespace vantorelle {

// Returns the whole pages within [data, data + size) to the system (bytes
// outside them, at either end, are untouched). The buffer stays allocated
// and usable; the released bytes read as zeros. Where the system offers no
// such call, nothing happens.
void release_pages(void* data, std::size_t size);

// Buffers from this size on are offered huge pages.
inline constexpr std::size_t kHugePagedBytes = std::size_t{4} << 20;

// Asks the system to back the not yet touched part of a buffer of at least
// kHugePagedBytes with huge pages: a page fault then maps 2 MiB instead of
// 4 KiB, which matters for buffers of many MiB written in full soon after
// they are allocated (a huge page partly written is resident whole).
// Smaller buffers are left as they are. A hint: where the system has no
// such pages, nothing changes.
void prefer_huge_pages(void* data, std::size_t size);

// Maps every page of a fresh buffer for writing now, in one call, where the
// system can (faster than a fault on each page); else nothing happens.
void populate_pages(void* data, std::size_t size);

// A buffer of `size` bytes straight from the system (zeros), or nullptr
// when it has no memory to give; unmap_pages(at, size) hands it back whole.
// From 2 MiB on it starts on a huge page boundary, and its whole huge pages
// are asked for: one fault then maps 2 MiB, where 512 faults of 4 KiB each
// cost about five times as long (an unaligned buffer holds one huge page
// fewer, and a 2 MiB one none). With `populate`, every page is mapped now.
void* map_pages(std::size_t size, bool populate);
void unmap_pages(void* at, std::size_t size);

}  // namespace vantorelle
