// The merge of a group of stored sparse sketches alike in everything but
// their values: the common roll-up of partial sketches, made at one
// precision and none past the sparse budget. Merged one by one, each step
// decodes the growing union and writes it again; here the union is worked
// out on decoded values and written once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "hll/sparse_representation.h"
#include "state/sketch_state.h"
#include "utils/bytes.h"
#include "utils/mapped_allocator.h"

namespace vantorelle {

// Merges groups one after another, keeping its buffers and the checks of
// the last group's fields for the next.
class SparseRollUp {
 public:
  // Appends to `out` the serialised merge of `sketches` (two or more): the
  // bytes of from_bytes of the first, merge_bytes of the others in order,
  // then to_bytes. False, with `out` as it was, when they are not sparse
  // sketches alike, when the union passes the sparse budget at any step, or
  // for anything odd in their data: the one-by-one merge then decides, and
  // reports any error.
  bool merge_into(std::span<const ByteView> sketches, Bytes& out);

  // The same, but when the union passes the budget at a later sketch after
  // at least two were merged, appends the merge of those before it and
  // returns their number, from which the one-by-one merge goes on (that
  // next step then turns the sketch to registers, and the rest merge into
  // those): without it, a group of many small sketches is merged one by one
  // from its start, each step writing the growing union again. Returns
  // sketches.size() when all merged, 0 (`out` as it was) when none did.
  std::size_t merge_prefix_into(std::span<const ByteView> sketches, Bytes& out);
  std::size_t merge_prefix_into(std::span<const ByteView> sketches, MappedVector<std::uint8_t>& out);

  // Whether a group may be rolled up at all, from its first sketch alone
  // (sparse): a caller that checks every sketch first spares that pass
  // when it may not.
  static bool may_lead(ByteView first);

 private:
  // The merge into shape_'s state (its sparse data set), and the number of
  // sketches it holds, or 0 when none merged.
  std::size_t roll(std::span<const ByteView> sketches, bool prefix);
  // That merge appended to `out`: the number, or 0 (`out` as it was).
  template <class Out>
  std::size_t append_merge(std::size_t merged_count, Out& out);
  static std::optional<SketchStateView> lead(ByteView first);

  // Sketches merged a batch at a time (see roll()), when there are at
  // least kFewestBatched: fewer are cheaper one step each.
  static constexpr std::size_t kBatch = 64;
  static constexpr std::size_t kFewestBatched = 8;

  std::optional<SparseRepresentation> shape_;  // a sketch of the last fields, without values
  MappedVector<std::uint32_t> united_, values_, scratch_;
  std::vector<std::uint32_t> batch_;
  std::vector<std::size_t> ends_;
  std::vector<std::uint64_t> counts_;
  Bytes coded_;
};

}  // namespace vantorelle
