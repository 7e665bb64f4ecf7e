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

}  // namespace vantorelle
