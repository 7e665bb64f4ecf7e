// Sketches of many groups at once: one serialised sketch per group from the
// rows of a table, in one pass over the rows, without an aggregator per
// group.
//
//   rows      g: 0 2 0 1 2 0 ...      (group of each counted row)
//             c: c0 c1 c2 c3 c4 ...   (code of each row's value: its sparse
//                                      value at the sketch's precisions)
//   1. a stable counting sort by group: each group's codes, in row order,
//      in one array (threads take ranges of rows; the order is fixed)
//   2. per group (threads take runs of groups):
//        no more rows than the sparse buffer holds -> no flush can happen
//          before serialisation: sort the codes, write the collapsed values
//          straight into varint bytes; over the sparse data budget the group
//          goes normal instead;
//        more rows -> the group's codes are replayed in row order through
//          the sparse and normal representations themselves, so the moment
//          of every flush and of the switch to registers is the one that
//          adding the values one by one gives;
//   3. each group's state is written as the message the aggregator writes.
//
// The bytes of every group equal those of an aggregator of the same type
// and precisions that added the group's values in row order: the sparse
// value encoding, the budgets, the collapse of equal indices and the message
// all come from the representations and the state message. Without a sparse
// precision the codes are sparse values at (p, p), which decode to the
// register coordinates of the hash.
//
// Merging groups of stored sketches (merge_groups) decodes and merges each
// group's sketches in row order with the aggregator's own merge.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "error/result.h"
#include "hll/encoding.h"
#include "hll/group_scatter.h"
#include "hll/hyperloglogplusplus.h"
#include "state/sketch_state.h"
#include "utils/mapped_allocator.h"

namespace vantorelle {

// Serialised sketches end to end: sketch i is
// data[offsets[i] .. offsets[i + 1]); a null entry (present[i] == 0) is empty.
// The bytes of many sketches end to end, reserved to a loose bound of their
// size (see MappedAllocator::written_as_needed).
using SketchBytes = MappedVector<std::uint8_t>;

struct SerializedSketches {
  SketchBytes data;
  std::vector<std::int64_t> offsets{0};
  // Empty when every entry is present.
  std::vector<std::uint8_t> present;

  std::size_t size() const { return offsets.size() - 1; }
  ByteView at(std::size_t i) const {
    return ByteView(data.data() + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
  }
  bool is_present(std::size_t i) const { return present.empty() || present[i] != 0; }
};

// The codes of a column's rows: not zeroed when sized, as every code is
// written before it is read.
using Codes = MappedVector<std::uint32_t>;

class GroupedSketchBuilder {
  class GroupWriter;

 public:
  // Sketches of `type`'s family (LONG, or STRING / BYTES) at the given
  // precisions; a sparse precision of 0 means none. Refuses what the
  // aggregator's constructors refuse, with their errors.
  static Result<GroupedSketchBuilder> create(InputType type, std::int32_t normal_precision,
                                             std::int32_t sparse_precision);

  // The encoding of the codes of sketches at these precisions: their
  // sparse values, at (p, p) without a sparse precision.
  static Result<SparseEncoding> code_encoding(std::int32_t normal_precision, std::int32_t sparse_precision);

  // The code of a row without a value (skipped, its group still made).
  static constexpr std::uint32_t kNoValue = GroupScatter::kNoItem;
  // The code of one value's hash (never kNoValue: codes are below 2^31).
  std::uint32_t code(std::uint64_t hash) const { return codes_.encode(hash); }

  // codes[i] = code(hashes[i]) for i < count.
  void code_all(const std::uint64_t* hashes, std::size_t count, std::uint32_t* codes) const {
    codes_.encode_all(hashes, count, codes);
  }

  // One sketch per group 0 .. group_count - 1, from the rows' groups and
  // codes (in row order). A group without values gets the empty sketch; a
  // group with present[g] == 0 (when `present` is not empty) is a null
  // entry. The result does not depend on `threads`.
  Result<SerializedSketches> build(std::span<const std::uint32_t> groups,
                                   std::span<const std::uint32_t> codes, std::uint32_t group_count,
                                   int threads, std::span<const std::uint8_t> present = {}) const;

  // build() that frees `groups` and `codes` as soon as it no longer needs
  // them, before the sketches are written: less memory at the peak.
  Result<SerializedSketches> build_consuming(MappedVector<std::uint32_t>& groups,
                                             Codes& codes, std::uint32_t group_count,
                                             int threads, std::span<const std::uint8_t> present = {}) const;

  // Whether build() folds each group's registers straight from the rows
  // (few groups) rather than sorting the codes by group first.
  bool folds_rows(std::uint32_t group_count, std::size_t rows, int threads) const;

  // One sketch per group from codes already by group (kNoValue skipped):
  // what build() gives for the same rows when it does not fold them.
  // `sorted`'s items are reordered and freed.
  Result<SerializedSketches> build_sorted(GroupedItems sorted, int threads,
                                          std::span<const std::uint8_t> present = {}) const;

  // The sketch of one group's codes (in row order; kNoValue skipped), as
  // build() writes it; `codes` is reordered.
  Result<Bytes> build_one(std::span<std::uint32_t> codes) const;

  // Writes one group's sketch after another as build_one() does, its
  // scratch room kept from group to group: for callers that finalise many
  // groups one at a time.
  class OneAtATime {
   public:
    explicit OneAtATime(const GroupedSketchBuilder& builder);
    ~OneAtATime();
    OneAtATime(OneAtATime&&) noexcept;
    OneAtATime& operator=(OneAtATime&&) noexcept;

    // Appends the sketch of a group's codes (in row order; kNoValue
    // skipped) to `out`; `codes` is reordered.
    Status write(std::span<std::uint32_t> codes, Bytes& out);

   private:
    std::unique_ptr<GroupWriter> writer_;
  };

 private:
  GroupedSketchBuilder(SketchState fresh, SparseEncoding codes, Bytes empty,
                       std::uint64_t max_buffer_elements, std::uint64_t max_sparse_data_bytes,
                       std::uint64_t multiplier)
      : fresh_(std::move(fresh)),
        codes_(codes),
        empty_(std::move(empty)),
        max_buffer_elements_(max_buffer_elements),
        max_sparse_data_bytes_(max_sparse_data_bytes),
        multiplier_(multiplier) {}

  Result<SerializedSketches> build_impl(std::span<const std::uint32_t> groups,
                                        std::span<const std::uint32_t> codes, std::uint32_t group_count,
                                        int threads, std::span<const std::uint8_t> present,
                                        MappedVector<std::uint32_t>* release_groups,
                                        Codes* release_codes) const;

  struct FoldedGroups;
  Result<SerializedSketches> write_groups(GroupedItems& sorted, int parts, std::span<const std::uint8_t> present,
                                          std::span<const std::uint8_t> from_registers,
                                          const FoldedGroups& folded) const;
  FoldedGroups fold_groups(std::span<const std::uint32_t> groups, std::span<const std::uint32_t> codes,
                           std::uint32_t group_count, std::size_t m, int parts) const;

  SketchState fresh_;  // the state of a new aggregator
  SparseEncoding codes_;
  Bytes empty_;        // a new aggregator's serialised form
  // The sparse budgets; 0 without a sparse precision (every group replays).
  std::uint64_t max_buffer_elements_;
  std::uint64_t max_sparse_data_bytes_;
  std::uint64_t multiplier_;  // odd, random per process: the distinct-code set's hashing
};

// A failure of one row of a grouped operation.
struct RowFailure {
  std::int64_t row = -1;
  std::string message;
};

// Merges each group's stored sketches (already validated) in row order, as
// the aggregator's from_bytes of the first and merge_bytes of the others
// would. `sketches` and `groups` hold the non-null rows; `rows` their row
// numbers for errors. A group without sketches is a null entry. On a failed
// merge (incompatible types or precisions) `failure` names the row.
Result<SerializedSketches> merge_groups(std::span<const std::uint32_t> groups,
                                        std::span<const ByteView> sketches,
                                        std::span<const std::int64_t> rows,
                                        std::uint32_t group_count, int threads,
                                        RowFailure* failure);

}  // namespace vantorelle
