#include "utils/buffer_traits.h"

#include <string>

namespace vantorelle {

Status DifferenceEncoder::put(std::int32_t value) {
  if (value < 0) return invalid_argument("Only positive integers are supported");
  if (previous_ && value < *previous_) {
    return invalid_argument(std::to_string(value) + " put after Some(" +
                            std::to_string(*previous_) +
                            ") but values are required to be in increasing order");
  }
  const std::int32_t base = previous_.value_or(0);
  encode_varint(static_cast<std::uint32_t>(value - base), output_);
  previous_ = value;
  return {};
}

}  // namespace vantorelle
