// What a serialised sketch holds, as the `inspect` command shows it: the
// value type, the precisions, the form (sparse or normal), the values added
// and the size of the message. The bytes are validated first; a description
// is only given of a sound sketch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "error/result.h"
#include "utils/bytes.h"

namespace vantorelle {

struct StateDescription {
  // "integer", "text or bytes", "integer (int32)" ...; "none" when the
  // message names no value type, "unknown" for one this library does not know.
  std::string_view value_type;
  std::int32_t normal_precision = 0;
  std::int32_t sparse_precision = 0;
  bool sparse = false;
  std::uint64_t num_values = 0;
  std::size_t message_bytes = 0;
};

Result<StateDescription> describe_state(ByteView bytes);

}  // namespace vantorelle
