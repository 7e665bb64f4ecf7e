// Byte strings: owned (Bytes) and borrowed (ByteView). The lowest layer, so
// that the codings below the sketch state can name them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vantorelle {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

}  // namespace vantorelle
