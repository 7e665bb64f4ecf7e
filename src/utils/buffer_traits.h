// Difference coding of ascending sequences of sparse values: the first value
// as a varint, then each difference to the value before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "error/result.h"
#include "state/sketch_state.h"
#include "utils/var_int.h"

namespace vantorelle {

class DifferenceEncoder {
 public:
  DifferenceEncoder() = default;
  explicit DifferenceEncoder(Bytes output) : output_(std::move(output)) {}

  // Appends v - previous. Refuses negative values and values below the
  // previous one; a refused put leaves the encoder unchanged.
  Status put(std::int32_t value);

  const Bytes& output() const { return output_; }
  Bytes take() && { return std::move(output_); }

 private:
  Bytes output_;
  std::optional<std::int32_t> previous_;
};

// A forward sequence over a difference-coded byte array. Malformed input
// (a cut-off or over-long varint) is an internal failure.
class DifferenceDecoder {
 public:
  explicit DifferenceDecoder(ByteView input) : input_(input) {}

  bool at_end() const { return position_ >= input_.size(); }

  // The next value; the caller checks at_end() first.
  std::uint32_t next() {
    const DecodedVarint decoded = decode_varint(input_.subspan(position_));
    position_ += decoded.length;
    running_ += decoded.value;  // wraps modulo 2^32
    return running_;
  }

  std::optional<std::uint32_t> try_next() {
    if (at_end()) return std::nullopt;
    return next();
  }

 private:
  ByteView input_;
  std::size_t position_ = 0;
  std::uint32_t running_ = 0;
};

}  // namespace vantorelle
