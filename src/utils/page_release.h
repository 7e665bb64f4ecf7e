// Handing a buffer's memory back to the system while the buffer lives: for
// a large buffer whose contents have been copied elsewhere, so that the
// copy and the original are not both resident.
#pragma once

#include <cstddef>

namespace vantorelle {

// Returns the whole pages within [data, data + size) to the system (bytes
// outside them, at either end, are untouched). The buffer stays allocated
// and usable; the released bytes read as zeros. Where the system offers no
// such call, nothing happens.
void release_pages(void* data, std::size_t size);

// Hands the free pages the allocator holds back to the system. glibc keeps
// a large freed block for reuse, so memory freed between the steps of a
// long call, if the next step does not fit it exactly or runs on another
// thread, would add to the call's peak. Elsewhere, nothing happens.
void release_free_memory();

}  // namespace vantorelle
