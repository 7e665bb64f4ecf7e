#include "utils/var_int.h"

#include <string>

#include "error/internal_failure.h"

namespace vantorelle {

void varint_cut_off(std::size_t index, std::size_t remaining) {
  internal_failure("varint cut off: index " + std::to_string(index) +
                   " out of range for remaining input of length " + std::to_string(remaining));
}

void varint_too_long() { internal_failure("varint too long"); }

}  // namespace vantorelle
