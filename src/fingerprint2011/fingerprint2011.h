// Fingerprint2011: the 64-bit hash of every value added to a sketch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantorelle {

// Pure function of the bytes; the same on every platform and alignment.
// Never returns 0 or 1.
std::uint64_t fingerprint2011(const std::uint8_t* bytes, std::size_t length);

}  // namespace vantorelle
