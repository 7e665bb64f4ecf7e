#include "hll/sparse_roll_up.h"

#include <algorithm>
#include <cstdint>
#include <cstddef>

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

// Whether the union of `a` and `b` (ascending; equal values once, none
// collapsed) fits `budget` as past_budget counts. Every union of `a` with a
// part of `b`, collapsed or not, is then within it too: it holds no value
// this one lacks, and a value more never shortens the coding (a difference
// split in two takes at least the bytes it took whole).
bool union_within_budget(const Values& a, const Values& b, std::uint64_t budget) {
  const std::uint32_t largest = std::max(a.empty() ? 0 : a.back(), b.empty() ? 0 : b.back());
  if (largest > INT32_MAX) return false;
  if ((a.size() + b.size()) * 5 <= budget) return true;
  std::uint64_t bytes = 0;
  std::uint32_t previous = 0;
  bool any = false;
  const auto count = [&](std::uint32_t value) {
    if (any && value == previous) return;
    bytes += varint_length(value - previous);
    previous = value;
    any = true;
  };
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) count(b[j] < a[i] ? b[j++] : a[i++]);
  while (i < a.size()) count(a[i++]);
  while (j < b.size()) count(b[j++]);
  return bytes <= budget;
}

}  // namespace

bool SparseRollUp::merge_into(std::span<const ByteView> sketches, Bytes& out) {
  return append_merge(roll(sketches, false), out) == sketches.size();
}

std::size_t SparseRollUp::merge_prefix_into(std::span<const ByteView> sketches, Bytes& out) {
  return append_merge(roll(sketches, true), out);
}

std::size_t SparseRollUp::merge_prefix_into(std::span<const ByteView> sketches, MappedVector<std::uint8_t>& out) {
  return append_merge(roll(sketches, true), out);
}

std::optional<SketchStateView> SparseRollUp::lead(ByteView first) {
  Result<SketchStateView> view = decode_state_view(first);
  if (!view || view->data || view->scalars.sparse_precision == 0) return std::nullopt;
  return std::move(*view);
}

bool SparseRollUp::may_lead(ByteView first) { return lead(first).has_value(); }

std::size_t SparseRollUp::roll(std::span<const ByteView> sketches, bool prefix) {
  if (sketches.size() < 2) return 0;
  const std::optional<SketchStateView> first = lead(sketches[0]);
  if (!first) return 0;
  // The checks and budget of a sketch of these scalar fields, kept for the
  // next group's (mostly the same fields).
  if (!shape_ || !same_checked_fields(first->scalars, shape_->state())) {
    shape_.reset();
    if (!HyperLogLogPlusPlus::check_state(first->scalars)) return 0;
    Result<SparseRepresentation> shape = SparseRepresentation::create(scalar_fields(first->scalars));
    if (!shape) return 0;
    shape_.emplace(std::move(*shape));
  }
  const SparseEncoding& encoding = shape_->encoding();
  const std::uint64_t budget = shape_->max_sparse_data_bytes();

  std::uint64_t num_values = first->scalars.num_values;
  if (!decode_into(first->sparse_data, united_)) return 0;
  bool rewritten = false;
  std::size_t merged_count = sketches.size();
  // Sketch j's values joined to the union, its length held to the budget
  // at every step: false when they pass it, the union then the one before
  // (unite left that in scratch_): the merge of a prefix, from which the
  // one-by-one merge may go on.
  const auto step = [&](const Values& values, std::uint64_t count, std::size_t j) {
    // (a sketch without values leaves the union's bytes as they are)
    if (!values.empty()) {
      unite(united_, values, encoding, scratch_);
      if (past_budget(united_, budget)) {
        united_.swap(scratch_);
        merged_count = j;
        return false;
      }
      rewritten = true;
    }
    num_values += count;
    return true;
  };
  // The sketches after the first: a few one step each; more in batches,
  // each sketch's values one after the other in batch_ (ends_).
  for (std::size_t k = 1; k < sketches.size() && merged_count == sketches.size();) {
    const std::size_t stop = std::min(sketches.size(), k + kBatch);
    const bool batched = stop - k >= kFewestBatched;
    batch_.clear();
    ends_.clear();
    counts_.clear();
    for (std::size_t j = k; j < stop; ++j) {
      Result<SketchStateView> other = decode_state_view(sketches[j]);
      if (!other || other->data || !same_checked_fields(other->scalars, first->scalars)) return 0;
      if (!decode_into(other->sparse_data, values_)) return 0;
      for (const std::uint32_t value : values_) {
        if (!encoding.check_holds(value)) return 0;
      }
      if (!batched) {
        if (!step(values_, other->scalars.num_values, j)) break;
        continue;
      }
      batch_.insert(batch_.end(), values_.begin(), values_.end());
      ends_.push_back(batch_.size());
      counts_.push_back(other->scalars.num_values);
    }
    if (!batched) {
      k = stop;
      continue;
    }
    // When the union with all of the batch's values fits the budget, every
    // step's does, and the batch joins the union at once (the union of
    // sets: it does not matter that each step collapses a sketch's values
    // with the union's).
    values_.assign(batch_.begin(), batch_.end());
    std::sort(values_.begin(), values_.end());
    values_.erase(std::unique(values_.begin(), values_.end()), values_.end());
    if (union_within_budget(united_, values_, budget)) {
      for (const std::uint64_t count : counts_) num_values += count;
      if (!values_.empty()) {
        unite(united_, values_, encoding, scratch_);
        rewritten = true;
      }
      k = stop;
      continue;
    }
    // Else one step a sketch, to find the one that passes it.
    for (std::size_t j = k; j < stop; ++j) {
      const std::size_t begin = j == k ? 0 : ends_[j - k - 1];
      values_.assign(batch_.begin() + static_cast<std::ptrdiff_t>(begin),
                     batch_.begin() + static_cast<std::ptrdiff_t>(ends_[j - k]));
      if (!step(values_, counts_[j - k], j)) break;
    }
    k = stop;
  }
  if (merged_count != sketches.size() && !prefix) return 0;
  // Only the first sketch's values: its bytes stay as they were stored.
  if (!rewritten) return 0;
  SketchState& merged = shape_->state();
  merged.num_values = num_values;
  merged.sparse_size = static_cast<std::int32_t>(united_.size());
  coded_.clear();
  DifferenceEncoder encoder(std::move(coded_));
  if (!encoder.put_all(united_)) return 0;
  merged.sparse_data = std::move(encoder).take();
  return merged_count;
}

template <class Out>
std::size_t SparseRollUp::append_merge(std::size_t merged_count, Out& out) {
  if (merged_count == 0) return 0;
  SketchState& merged = shape_->state();
  const std::size_t before = out.size();
  const bool written = static_cast<bool>(encode_state_into(merged, out));
  if (!written) out.resize(before);
  coded_ = std::move(*merged.sparse_data);
  merged.sparse_data.reset();
  return written ? merged_count : 0;
}

}  // namespace vantorelle
