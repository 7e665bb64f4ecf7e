// buffer_traits: the varint difference coder's out-of-line refusal message.
#include "utils/buffer_traits.h"

#include <string>

namespace vantorelle {

Status DifferenceEncoder::refuse(std::int32_t value) const {
  if (value < 0) return invalid_argument("Only positive integers are supported");
  return invalid_argument(std::to_string(value) + " put after Some(" + std::to_string(previous_) +
                          ") but values are required to be in increasing order");
}

}  // namespace vantorelle
