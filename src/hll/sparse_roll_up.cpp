#include "hll/sparse_roll_up.h"

#include <cstdint>

#include "hll/hyperloglogplusplus.h"
#include "hll/sparse_representation.h"
#include "hll/sparse_union.h"
#include "state/state_message.h"
#include "utils/buffer_traits.h"
#include "utils/mapped_allocator.h"
#include "utils/var_int.h"

namespace vantorelle {
namespace {

// Decoded values: sized without zeroing, as each is written before it is
// read.
using Values = MappedVector<std::uint32_t>;

// The values of `data`; false for data the one-by-one merge is left to
// meet: a varint cut off or too long, or values that do not ascend (a
// difference that wraps past 2^32).
bool decode_into(const std::optional<ByteView>& data, Values& out) {
  out.clear();
  if (!data) return true;
  const std::uint8_t* at = data->data();
  const std::uint8_t* const end = at + data->size();
  // (at most one value a byte)
  out.resize(data->size());
  std::uint32_t* values = out.data();
  std::uint32_t* next = values;
  std::uint32_t running = 0;
  while (at < end) {
    // (one and two bytes inline: the differences of a sparse sketch's values)
    std::uint32_t difference = *at;
    if (difference < 0x80) {
      ++at;
    } else if (end - at >= 2 && at[1] < 0x80) {
      difference = (difference & 0x7F) | static_cast<std::uint32_t>(at[1]) << 7;
      at += 2;
    } else {
      const ReadVarint read = read_varint(ByteView(at, static_cast<std::size_t>(end - at)));
      if (read.fault == VarintFault::CutOff || read.fault == VarintFault::TooLong) return false;
      difference = read.value;
      at += read.length;
    }
    const std::uint32_t value = running + difference;
    if (value < running) return false;
    *next++ = value;
    running = value;
  }
  out.resize(static_cast<std::size_t>(next - values));
  return true;
}

// `into` becomes the union of itself and `values` (both ascending),
// collapsed as a sparse union is: one of equal plain values, and of the
// rho-encoded values of one sparse index the last (the largest rho_w). The
// union of sets, it does not matter that the one-by-one merge collapses the
// other's values among themselves first.
void unite(Values& into, const Values& values, const SparseEncoding& encoding, Values& scratch) {
  scratch.resize(into.size() + values.size());
  std::uint32_t* const start = scratch.data();
  std::uint32_t* out = start;
  const auto keep = [&](std::uint32_t value) {
    if (out != start && replaces_in_union(encoding, out[-1], value)) {
      out[-1] = value;
    } else {
      *out++ = value;
    }
  };
  const std::uint32_t* a = into.data();
  const std::uint32_t* const a_end = a + into.size();
  const std::uint32_t* b = values.data();
  const std::uint32_t* const b_end = b + values.size();
  while (a != a_end && b != b_end) {
    // (without a branch on which is smaller: the two interleave at random;
    // on equal heads the union's first, as the one-by-one merge)
    const std::uint32_t x = *a, y = *b;
    const bool other_first = y < x;
    keep(other_first ? y : x);
    a += other_first ? 0 : 1;
    b += other_first ? 1 : 0;
  }
  while (a != a_end) keep(*a++);
  while (b != b_end) keep(*b++);
  scratch.resize(static_cast<std::size_t>(out - start));
  into.swap(scratch);
}

// Whether `values` (ascending) difference-coded take more than `budget`
// bytes, or hold a value the coder refuses (above 2^31 - 1). A varint takes
// at most five bytes, so few values need no count.
bool past_budget(const Values& values, std::uint64_t budget) {
  if (!values.empty() && values.back() > INT32_MAX) return true;
  if (values.size() * 5 <= budget) return false;
  std::uint64_t bytes = 0;
  std::uint32_t previous = 0;
  for (const std::uint32_t value : values) {
    bytes += varint_length(value - previous);
    previous = value;
  }
  return bytes > budget;
}

}  // namespace

bool SparseRollUp::merge_into(std::span<const ByteView> sketches, Bytes& out) {
  if (sketches.size() < 2) return false;
  Result<SketchStateView> first = decode_state_view(sketches[0]);
  if (!first || first->data || first->scalars.sparse_precision == 0) return false;
  // The checks and budget of a sketch of these scalar fields, kept for the
  // next group's (mostly the same fields).
  if (!shape_ || !same_checked_fields(first->scalars, shape_->state())) {
    shape_.reset();
    if (!HyperLogLogPlusPlus::check_state(first->scalars)) return false;
    Result<SparseRepresentation> shape = SparseRepresentation::create(scalar_fields(first->scalars));
    if (!shape) return false;
    shape_.emplace(std::move(*shape));
  }
  const SparseEncoding& encoding = shape_->encoding();
  const std::uint64_t budget = shape_->max_sparse_data_bytes();

  std::uint64_t num_values = first->scalars.num_values;
  if (!decode_into(first->sparse_data, united_)) return false;
  bool rewritten = false;
  for (std::size_t k = 1; k < sketches.size(); ++k) {
    Result<SketchStateView> other = decode_state_view(sketches[k]);
    if (!other || other->data || !same_checked_fields(other->scalars, first->scalars)) return false;
    num_values += other->scalars.num_values;
    if (!decode_into(other->sparse_data, values_)) return false;
    // (a sketch without values leaves the union's bytes as they are)
    if (values_.empty()) continue;
    for (const std::uint32_t value : values_) {
      if (!encoding.check_holds(value)) return false;
    }
    // The union's length is held to the budget at every step.
    unite(united_, values_, encoding, scratch_);
    if (past_budget(united_, budget)) return false;
    rewritten = true;
  }
  // Only the first sketch's values: its bytes stay as they were stored.
  if (!rewritten) return false;
  SketchState& merged = shape_->state();
  merged.num_values = num_values;
  merged.sparse_size = static_cast<std::int32_t>(united_.size());
  coded_.clear();
  DifferenceEncoder encoder(std::move(coded_));
  if (!encoder.put_all(united_)) return false;
  merged.sparse_data = std::move(encoder).take();
  const std::size_t before = out.size();
  const bool written = static_cast<bool>(encode_state_into(merged, out));
  if (!written) out.resize(before);
  coded_ = std::move(*merged.sparse_data);
  merged.sparse_data.reset();
  return written;
}

}  // namespace vantorelle
