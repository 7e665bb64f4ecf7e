// buffer_traits: the varint difference coder (DifferenceEncoder/Decoder) of
// ascending sequences of sparse values: the first value as a varint, then each
// difference to the value before it. (The file name is the project's layout.)
#pragma once

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <span>

#include "error/result.h"
#include "utils/bytes.h"
#include "utils/var_int.h"

namespace vantorelle {

class DifferenceEncoder {
 public:
  DifferenceEncoder() = default;
  // Appends to `output`, whose spare capacity is used first.
  explicit DifferenceEncoder(Bytes output) : output_(std::move(output)), length_(output_.size()) {}

  // Appends v - previous. Refuses negative values and values below the
  // previous one; a refused put leaves the encoder unchanged.
  Status put(std::int32_t value) {
    if (value < 0 || (has_previous_ && value < previous_)) [[unlikely]] {
      return refuse(value);
    }
    append_varint(static_cast<std::uint32_t>(value - previous_));
    previous_ = value;
    has_previous_ = true;
    return {};
  }

  // Puts every value in order, stopping at the first refusal; the values
  // put before it stay written.
  Status put_all(std::span<const std::uint32_t> values) {
    if (values.empty()) return {};
    // Room for every varint up front (measured by a cheap first pass, so no
    // worst-case slack is kept), so the loop writes unchecked. Locals keep
    // the byte stores from forcing reloads of the members.
    std::size_t needed = 0;
    std::uint32_t running = static_cast<std::uint32_t>(previous_);
    for (std::uint32_t value : values) {
      needed += varint_length(value - running);
      running = value;
    }
    if (output_.size() < length_ + needed + 8) output_.resize(length_ + needed + 8);
    std::uint8_t* const begin = output_.data();
    std::uint8_t* out = begin + length_;
    // previous_ is 0 before the first put, so one comparison refuses both a
    // negative value and one below its predecessor.
    std::int32_t previous = previous_;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto value = static_cast<std::int32_t>(values[i]);
      if (value < previous) [[unlikely]] {
        length_ = static_cast<std::size_t>(out - begin);
        if (i > 0) {
          previous_ = previous;
          has_previous_ = true;
        }
        return refuse(value);
      }
      out = write_varint(out, static_cast<std::uint32_t>(value - previous));
      previous = value;
    }
    length_ = static_cast<std::size_t>(out - begin);
    previous_ = previous;
    has_previous_ = true;
    return {};
  }

  Bytes take() && {
    output_.resize(length_);
    return std::move(output_);
  }

  // Writes all five possible bytes at once without branching on the length
  // and returns the end of the varint; needs eight writable bytes at `out`.
  static std::uint8_t* write_varint(std::uint8_t* out, std::uint32_t value) {
    const std::size_t length = varint_length(value);
    const std::uint64_t v = value;
    std::uint64_t bytes = (v & 0x7F) | ((v << 1) & 0x7F00) | ((v << 2) & 0x7F0000) |
                          ((v << 3) & 0x7F000000) | ((v << 4) & 0xFF00000000);
    // Continuation bits on every byte but the last.
    static constexpr std::uint64_t CONTINUATION[6] = {0, 0, 0x80, 0x8080, 0x808080, 0x80808080};
    bytes |= CONTINUATION[length];
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(out, &bytes, sizeof bytes);
    } else {
      for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(bytes >> (8 * i));
    }
    return out + length;
  }

 private:
  Status refuse(std::int32_t value) const;

  // Writes through a pointer into room made in advance (the output grows
  // geometrically, never by one varint at a time), all five possible bytes
  // at once without branching on the length.
  void append_varint(std::uint32_t value) {
    if (output_.size() < length_ + 8) {
      output_.resize(std::max<std::size_t>(output_.size() * 2, length_ + 64));
    }
    std::uint8_t* const begin = output_.data();
    length_ = static_cast<std::size_t>(write_varint(begin + length_, value) - begin);
  }


  Bytes output_;
  std::size_t length_ = 0;
  // The last value put (0 before the first, which is then coded as is).
  std::int32_t previous_ = 0;
  bool has_previous_ = false;
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

 private:
  ByteView input_;
  std::size_t position_ = 0;
  std::uint32_t running_ = 0;
};

}  // namespace vantorelle
