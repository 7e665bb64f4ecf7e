#include "duckdb/merge_aggregate.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "duckdb/aggregate_support.h"
#include "duckdb/vectors.h"
#include "engine/sketch_aggregate.h"
#include "hll/sparse_roll_up.h"
#include "state/state_validation.h"
#include "utils/bytes.h"

namespace vantorelle::duckdb_ext {
namespace {

using engine::SketchAggregate;

// A group's stored sketches wait in its slot (copied: a chunk's data is gone
// once update returns), each checked as it arrives so that a corrupt one
// fails the query at its row, until kWaitingSketches of them or
// kWaitingBytes have gathered, or the slot is combined or finalised. Then
// they are rolled up in one pass with the group's merge so far when all are
// sparse sketches alike (SparseRollUp, as merge_by rolls up a group), and
// merged one by one otherwise. The bytes are those of merging them one by
// one in row order either way; the roll-up spares each step's decoding and
// writing of the growing union.
//
// The merge so far is kept as the bytes a roll-up wrote (which are also
// the result), or as the engine's sketch once a one-by-one merge made it
// (a sketch with registers, other precisions, kinds that do not merge):
// never both. A slot with a sketch merges further sketches into it as they
// come, as the roll-up no longer applies.
constexpr std::size_t kWaitingSketches = 32;
constexpr std::size_t kWaitingBytes = std::size_t{64} << 10;
// The row of a waiting sketch that is another slot's merge so far.
constexpr std::uint32_t kPartialMerge = UINT32_MAX;

// A waiting sketch's place: its size, its row in its chunk (or
// kPartialMerge) and its chunk's rows, each 4 bytes, before its bytes.
struct WaitingEntry {
  ByteView sketch;
  std::uint32_t row;
  std::uint32_t chunk_rows;
};

// One cache line, its buffers on the heap: DuckDB moves states bytewise.
struct MergeSlot {
  SketchAggregate aggregate;
  Bytes merged;   // the last roll-up's bytes; empty: none
  Bytes waiting;  // the waiting sketches, each after its place
  std::uint32_t waiting_count = 0;

  bool full() const { return waiting_count >= kWaitingSketches || waiting.size() >= kWaitingBytes; }

  void wait(ByteView sketch, std::uint32_t row, std::uint32_t chunk_rows, BufferTally& tally) {
    if (waiting.capacity() == 0) tally.opened();
    const std::uint32_t place[3] = {static_cast<std::uint32_t>(sketch.size()), row, chunk_rows};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(place);
    waiting.insert(waiting.end(), bytes, bytes + sizeof place);
    waiting.insert(waiting.end(), sketch.begin(), sketch.end());
    ++waiting_count;
  }

  // Calls f(entry) for each waiting sketch in order, until f returns false;
  // false then.
  template <class F>
  bool each_waiting(F&& f) const {
    const std::uint8_t* at = waiting.data();
    for (std::uint32_t i = 0; i < waiting_count; ++i) {
      std::uint32_t place[3];
      std::memcpy(place, at, sizeof place);
      at += sizeof place;
      if (!f(WaitingEntry{ByteView(at, place[0]), place[1], place[2]})) return false;
      at += place[0];
    }
    return true;
  }

  void clear_waiting() {
    waiting.clear();
    waiting_count = 0;
  }
  void set_merged(Bytes bytes, BufferTally& tally) {
    if (merged.capacity() == 0) tally.opened();
    merged = std::move(bytes);
  }
  void drop_merged(BufferTally& tally) {
    if (merged.capacity() != 0) tally.freed();
    Bytes().swap(merged);
  }
  void release(BufferTally& tally) {
    aggregate.reset();
    drop_merged(tally);
    if (waiting.capacity() != 0) tally.freed();
    Bytes().swap(waiting);
    waiting_count = 0;
  }
};

static_assert(sizeof(MergeSlot) == 64);

MergeSlot& merge_slot(duckdb_aggregate_state state) { return *reinterpret_cast<MergeSlot*>(state); }

std::string merge_failure(const WaitingEntry& entry, const SketchError& error) {
  if (entry.row == kPartialMerge) return error.display();
  return "the sketch of " + std::to_string(entry.sketch.size()) + " bytes in row " + std::to_string(entry.row) +
         " of a chunk of " + std::to_string(entry.chunk_rows) + " rows cannot be merged: " + error.display();
}

// What one callback keeps for all its slots: the buffers it opened and
// freed, the roll-up's buffers, a batch's views, and the error to report.
struct MergeWork {
  BufferTally tally;
  SparseRollUp roll_up;
  std::vector<ByteView> batch;
  std::string error;
};

// A slot's merge so far as the engine's sketch, from the bytes a roll-up
// wrote (which load: the check is the only way they could fail).
bool load_merged(MergeSlot& slot, MergeWork& work) {
  if (slot.merged.empty()) return true;
  Status loaded = slot.aggregate.merge_stored(slot.merged);
  if (!loaded) {
    work.error = loaded.error().display();
    return false;
  }
  slot.drop_merged(work.tally);
  return true;
}

// Merges a slot's waiting sketches into its merge so far (see above); false
// with work.error set when one does not merge.
bool settle_waiting(MergeSlot& slot, MergeWork& work) {
  if (slot.waiting_count == 0) return true;
  // The waiting sketches that a roll-up took.
  std::size_t rolled_up = 0;
  if (slot.aggregate.empty()) {
    work.batch.clear();
    if (!slot.merged.empty()) work.batch.push_back(slot.merged);
    slot.each_waiting([&](const WaitingEntry& entry) {
      work.batch.push_back(entry.sketch);
      return true;
    });
    Bytes rolled;
    const std::size_t taken = work.roll_up.merge_prefix_into(work.batch, rolled);
    if (taken == work.batch.size()) {
      slot.set_merged(std::move(rolled), work.tally);
      slot.clear_waiting();
      return true;
    }
    if (taken != 0) {
      // Those before the one that passes the sparse budget: the rest go
      // one by one from their merge.
      rolled_up = slot.merged.empty() ? taken : taken - 1;
      slot.set_merged(std::move(rolled), work.tally);
    }
  }
  if (!load_merged(slot, work)) return false;
  std::size_t k = 0;
  const bool merged = slot.each_waiting([&](const WaitingEntry& entry) {
    if (k++ < rolled_up) return true;
    Status step = slot.aggregate.merge_stored(entry.sketch);
    if (!step) work.error = merge_failure(entry, step.error());
    return static_cast<bool>(step);
  });
  if (!merged) return false;
  slot.clear_waiting();
  return true;
}

}  // namespace

idx_t merge_state_size(duckdb_function_info) { return sizeof(MergeSlot); }

void merge_init(duckdb_function_info, duckdb_aggregate_state state) { new (state) MergeSlot(); }

void merge_update(duckdb_function_info info, duckdb_data_chunk input, duckdb_aggregate_state* states) {
  guarded(info, "vantorelle_merge", [&] {
    const std::uint64_t count = duckdb_data_chunk_get_size(input);
    duckdb_vector vector = duckdb_data_chunk_get_vector(input, 0);
    const auto* values = static_cast<const duckdb_string_t*>(duckdb_vector_get_data(vector));
    const std::uint64_t* validity = duckdb_vector_get_validity(vector);
    MergeWork work;
    std::string& error = work.error;
    for (std::uint64_t row = 0; row < count; ++row) {
      if (!is_valid(validity, row)) continue;
      const WaitingEntry entry{string_bytes(values[row]), static_cast<std::uint32_t>(row),
                               static_cast<std::uint32_t>(count)};
      MergeSlot& slot = merge_slot(states[row]);
      // A sketch so far takes each stored one as it comes; the others wait.
      Status checked =
          slot.aggregate.empty() ? validate_bytes(entry.sketch) : slot.aggregate.merge_stored(entry.sketch);
      if (!checked) return fail(info, "vantorelle_merge", merge_failure(entry, checked.error()));
      if (!slot.aggregate.empty()) continue;
      slot.wait(entry.sketch, entry.row, entry.chunk_rows, work.tally);
      if (slot.full() && !settle_waiting(slot, work)) {
        return fail(info, "vantorelle_merge", error);
      }
    }
  });
}

// `into` takes what `from` holds after its own, in that order; `from` is
// only read (DuckDB's window segment trees combine one node into many).
void merge_combine(duckdb_function_info info, duckdb_aggregate_state* source,
                   duckdb_aggregate_state* target, idx_t count) {
  guarded(info, "vantorelle_merge", [&] {
    MergeWork work;
    std::string& error = work.error;
    for (idx_t i = 0; i < count; ++i) {
      const MergeSlot& from = merge_slot(source[i]);
      MergeSlot& into = merge_slot(target[i]);
      // A stored sketch of `from` waits in `into`, or goes into its sketch.
      const auto take = [&](const WaitingEntry& entry) {
        if (into.aggregate.empty()) {
          into.wait(entry.sketch, entry.row, entry.chunk_rows, work.tally);
          return true;
        }
        Status merged = into.aggregate.merge_stored(entry.sketch);
        if (!merged) error = merge_failure(entry, merged.error());
        return static_cast<bool>(merged);
      };
      if (!from.merged.empty()) {
        if (!take(WaitingEntry{from.merged, kPartialMerge, 0})) return fail(info, "vantorelle_merge", error);
      } else if (!from.aggregate.empty()) {
        if (!settle_waiting(into, work) || !load_merged(into, work)) {
          return fail(info, "vantorelle_merge", error);
        }
        Status combined = into.aggregate.combine_copy(from.aggregate);
        if (!combined) return fail(info, "vantorelle_merge", combined.error().display());
      }
      if (!from.each_waiting(take)) return fail(info, "vantorelle_merge", error);
      if (into.full() && !settle_waiting(into, work)) {
        return fail(info, "vantorelle_merge", error);
      }
    }
  });
}

void merge_finalize(duckdb_function_info info, duckdb_aggregate_state* source, duckdb_vector result,
                    idx_t count, idx_t offset) {
  guarded(info, "vantorelle_merge", [&] {
    MergeWork work;
    std::string& error = work.error;
    for (idx_t i = 0; i < count; ++i) {
      MergeSlot& slot = merge_slot(source[i]);
      if (!settle_waiting(slot, work)) return fail(info, "vantorelle_merge", error);
      if (!slot.merged.empty()) {
        set_blob(result, offset + i, slot.merged);
        continue;
      }
      Result<std::optional<Bytes>> bytes = slot.aggregate.finalise_merge();
      if (!bytes) return fail(info, "vantorelle_merge", bytes.error().display());
      if (bytes->has_value()) {
        set_blob(result, offset + i, **bytes);
      } else {
        set_null(result, offset + i);
      }
    }
  });
}

void merge_destroy(duckdb_aggregate_state* states, idx_t count) { destroy_slots<MergeSlot>(states, count); }

}  // namespace vantorelle::duckdb_ext
