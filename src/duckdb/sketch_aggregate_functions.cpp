// DuckDB drives an aggregate through five callbacks over fixed-size state
// slots: init, update (a whole chunk, one state pointer per row), combine
// (parallel partial states, and the nodes of a window's segment tree),
// finalize and destroy. A slot holds the engine's state, one pointer, the
// codes of the values waiting to reach it, and, for vantorelle_sketch, the
// precisions its rows gave.
//
// The stable C API has no bind step for aggregates, so the value type is
// chosen by overload: one typed update per accepted DuckDB type, and for the
// types that are refused an overload whose state size callback fails the
// query while it is planned, before a row is read. The precisions are
// checked when the first chunk arrives: every row of a query must give the
// same ones.
#include "duckdb/sketch_aggregate_functions.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "duckdb/aggregate_support.h"
#include "duckdb/function_errors.h"
#include "duckdb/merge_aggregate.h"
#include "duckdb/vectors.h"
#include "engine/sketch_aggregate.h"
#include "hll/encoding.h"
#include "hll/grouped_sketches.h"
#include "hll/hyperloglogplusplus.h"
#include "hll/sparse_length_bound.h"
#include "hll/sparse_representation.h"

namespace vantorelle::duckdb_ext {
namespace {

using engine::SketchAggregate;
using engine::SketchParameters;

constexpr std::string_view kCounted =
    "vantorelle_sketch counts integers (TINYINT to BIGINT, and unsigned ones up to 2^63 - 1), "
    "BOOLEAN (as 0 and 1), VARCHAR (as text) and BLOB (as bytes)";

// --- the slots -----------------------------------------------------------------

// vantorelle_sketch's slot. Precision 0: not given by any row yet (the
// overloads with precision arguments start so; the one without starts at
// the defaults).
//
// A group's values wait in its slot before they reach the engine's state,
// as the codes of their hashes (SketchParameters::codes: 4 bytes in place
// of 8, and all a sketch keeps of a hash): the first few inside the slot,
// then in a buffer that grows up to 4096. A group that never sees more is
// written straight from its codes when it is finalised
// (GroupedSketchBuilder::build_one, sketch_by's writer: the bytes of an
// aggregator that added them in order), without a sketch object, which is
// several times cheaper than adding them to a sparse sketch one by one.
//
// A group past 4096 values (with a sparse precision, and a normal one up to
// 15) is looked at before its sketch is made: once its codes fill more
// registers than the sparse form's budget has bytes (each stored value takes
// at least one), or their sparse data is longer than the budget, its sketch
// ends with registers whatever comes next, so the sketch starts from those
// registers and the sparse phase (a buffer searched and rewritten again and
// again) is skipped. (Finalise takes that look once more.) Until then the
// buffer keeps every code, up to 65535, the registers beside it folded from
// the new ones each time it fills; a group that ends below the budget is
// written from its codes at finalise, and one that passes 65535 values below
// it goes to a sparse sketch. A sketch then gets further values in batches
// of 512 (the buffer cut to that size, 2 KiB beside the sketch), each added
// while the sketch is in cache. The sketch of a slot is always the engine state's
// values followed by the waiting ones, in row order.
//
// Once the engine's sketch holds registers, the order of further values no
// longer matters, and a slot fed from a chunk of few groups turns dense: its
// rows go straight into registers of its own (2^p bytes in place of the
// buffer), no hash kept, merged into the sketch when the slot is combined
// or finalised. With few groups those registers stay in cache, and a row
// costs one register update instead of a store and a later add. With many
// groups buffering is cheaper (appends touch one line per group, registers
// one line per row), so slots stay as they are. Up to precision 16 (64 KiB
// beside the sketch's own registers); above, the batches go on.
//
// The slot holds no pointer into itself: DuckDB may move states bytewise
// (when it repartitions its hash tables).
constexpr std::uint32_t kInlineCodes = 10;
constexpr std::uint32_t kFirstBuffer = 32;
constexpr std::uint32_t kLargestBuffer = 4096;
constexpr std::uint32_t kSketchedBuffer = 512;
constexpr std::int32_t kLargestDensePrecision = 16;
// Filling more than 0.75 * 2^p registers takes about 1.4 * 2^p distinct
// values: 46,000 at the default precision 15, more than the buffer holds
// above it (where the look would only cost registers of 128 KiB and up).
constexpr std::uint32_t kLargestFoldingBuffer = std::numeric_limits<std::uint16_t>::max();
constexpr std::int32_t kLargestFoldingPrecision = 15;

// The registers a folding slot's codes fill.
struct Folding {
  std::uint8_t* registers;
  std::uint32_t folded;  // codes folded into them
  std::uint32_t filled;  // registers above 0
};

// A register update: the register at c.index takes the larger of its value
// and c.rho_w. Returns the register's value before.
inline std::uint8_t update_register(std::uint8_t* registers, NormalCoordinates c) {
  // A store whatever the register held: a compare and branch would be
  // mispredicted while the registers fill.
  std::uint8_t& reg = registers[c.index];
  const std::uint8_t before = reg;
  reg = std::max(before, static_cast<std::uint8_t>(c.rho_w));
  return before;
}

// The update of `hash` at precision p.
inline std::uint8_t update_register(std::uint8_t* registers, int p, std::uint64_t hash) {
  return update_register(registers, NormalEncoding::coordinates_at(p, hash));
}

// The same for a code, at its encoding's normal precision.
inline std::uint8_t update_register(std::uint8_t* registers, const SparseEncoding& codes, std::uint32_t code) {
  return update_register(registers, codes.decode_normal(code));
}

// One cache line: DuckDB moves every group's state with its row when it
// partitions its hash tables, so each byte counts when groups are many.
struct SketchSlot {
  SketchAggregate aggregate;
  // `capacity` codes on the heap, once the inline ones overflow; a dense
  // slot's registers.
  std::uint32_t* buffer = nullptr;
  std::uint32_t pending = 0;  // waiting codes: in `buffer` when there is one, else inline
  std::uint16_t capacity = kInlineCodes;  // 0: dense; above kLargestBuffer: folding
  // Checked precisions (10 to 24, and 0 or up to 25) fit a byte.
  std::int8_t normal_precision = 0;
  std::int8_t sparse_precision = 0;
  union {
    std::uint32_t inline_codes[kInlineCodes];  // while there is no buffer
    std::uint64_t count;                       // a dense slot's values
    Folding folding;                           // a folding slot's registers
  };

  SketchSlot() = default;
  SketchSlot(const SketchSlot&) = delete;
  SketchSlot& operator=(const SketchSlot&) = delete;
  // sketch_destroy releases the buffer first; this is the fallback.
  ~SketchSlot() {
    if (buffer == nullptr) return;
    if (is_folding() && folding.registers != nullptr) {
      delete[] folding.registers;
      live_buffers.fetch_sub(1, std::memory_order_relaxed);
    }
    delete[] buffer;
    live_buffers.fetch_sub(1, std::memory_order_relaxed);
  }

  bool dense() const { return capacity == 0; }
  // The capacity and the precisions in one word (loaded together).
  static std::uint32_t shape_of(std::uint16_t capacity, std::int8_t normal, std::int8_t sparse) {
    return capacity | static_cast<std::uint32_t>(static_cast<std::uint8_t>(normal)) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(sparse)) << 24;
  }
  std::uint32_t shape() const { return shape_of(capacity, normal_precision, sparse_precision); }
  std::uint8_t* registers() { return reinterpret_cast<std::uint8_t*>(buffer); }
  std::span<const std::uint8_t> register_view() const {
    return std::span(reinterpret_cast<const std::uint8_t*>(buffer), std::size_t{1} << normal_precision);
  }
  // The values a dense slot's registers took.
  std::uint64_t& dense_count() { return count; }
  std::uint64_t dense_count() const { return count; }

  bool is_folding() const { return capacity > kLargestBuffer; }
  // Zeroed registers for a full buffer's first look.
  void open_registers(BufferTally& tally) {
    folding = Folding{new std::uint8_t[std::size_t{1} << normal_precision](), 0, 0};
    tally.opened();
  }
  void close_registers(BufferTally& tally) {
    delete[] folding.registers;
    folding.registers = nullptr;
    tally.freed();
  }
  // Folds the codes that arrived since the last look.
  void fold_waiting(const SparseEncoding& encoding) {
    // A copy the compiler keeps in registers: the stores below could alias
    // the caller's.
    const SparseEncoding codes = encoding;
    std::uint32_t filled = folding.filled;
    for (std::uint32_t k = folding.folded; k < pending; ++k) {
      filled += update_register(folding.registers, codes, buffer[k]) == 0 ? 1 : 0;
    }
    folding.filled = filled;
    folding.folded = pending;
  }

  std::uint32_t* codes() { return buffer != nullptr ? buffer : inline_codes; }
  std::span<const std::uint32_t> waiting() const {
    return std::span(buffer != nullptr ? buffer : inline_codes, pending);
  }
  // The path of nearly every row: false when the code does not fit.
  bool try_append(std::uint32_t code) {
    if (pending == capacity) return false;
    codes()[pending++] = code;
    return true;
  }
  // Asks for the cache line that `hash`, the slot's next, goes to.
  void prefetch_for(std::uint64_t hash) const {
    if (dense()) {
      __builtin_prefetch(reinterpret_cast<const std::uint8_t*>(buffer) + (hash >> (64 - normal_precision)), 1);
    } else {
      __builtin_prefetch((buffer != nullptr ? buffer : inline_codes) + pending, 1);
    }
  }
  // A dense slot's add: the register update of the sketch's own add.
  // `p` is the slot's normal precision, passed for loops that keep it in a
  // register.
  void add_dense(int p, std::uint64_t hash) {
    update_register(registers(), p, hash);
    ++dense_count();
  }
  void add_dense_code(const SparseEncoding& codes, std::uint32_t code) {
    update_register(registers(), codes, code);
    ++dense_count();
  }
  // Zeroed registers in place of the code buffer; no value may be waiting.
  void make_dense(BufferTally& tally) {
    auto* zeroed = new std::uint32_t[(std::size_t{1} << normal_precision) / 4]();
    if (buffer == nullptr) tally.opened();
    delete[] buffer;
    buffer = zeroed;
    capacity = 0;
    dense_count() = 0;
  }
  void append(std::span<const std::uint32_t> codes) {
    std::copy(codes.begin(), codes.end(), this->codes() + pending);
    pending += static_cast<std::uint32_t>(codes.size());
  }
  // A buffer of `size` codes (> capacity) holding the waiting ones.
  void grow(std::uint32_t size, BufferTally& tally) {
    auto* larger = new std::uint32_t[size];
    std::copy_n(codes(), pending, larger);
    if (buffer == nullptr) tally.opened();
    delete[] buffer;
    buffer = larger;
    capacity = static_cast<std::uint16_t>(size);
  }
  // An empty buffer of `size` codes (< capacity) instead of the larger one.
  void shrink(std::uint32_t size) {
    auto* smaller = new std::uint32_t[size];
    delete[] buffer;
    buffer = smaller;
    capacity = static_cast<std::uint16_t>(size);
  }
  // Back to inline codes, none waiting.
  void release(BufferTally& tally) {
    if (is_folding() && folding.registers != nullptr) close_registers(tally);
    pending = 0;
    capacity = kInlineCodes;
    if (buffer == nullptr) return;
    delete[] buffer;
    buffer = nullptr;
    tally.freed();
  }
};

static_assert(sizeof(SketchSlot) == 64);
static_assert(kLargestBuffer <= std::numeric_limits<std::uint16_t>::max());

SketchSlot& sketch_slot(duckdb_aggregate_state state) { return *reinterpret_cast<SketchSlot*>(state); }

// What an overload of vantorelle_sketch counts: its extra info.
struct Overload {
  InputType type = InputType::LONG;
  bool takes_precisions = false;
};

// Moves a slot's waiting hashes into the engine's state (a folding slot
// stops folding).
Status flush(SketchSlot& slot, const SketchParameters& parameters, BufferTally& tally) {
  if (slot.is_folding()) {
    slot.close_registers(tally);
    // Added while the buffer is still the larger one: the slot's capacity
    // says it is folding until it shrinks.
    Status added = slot.aggregate.add_codes(parameters, slot.waiting());
    slot.pending = 0;
    slot.shrink(kSketchedBuffer);
    return added;
  }
  if (slot.pending == 0) return {};
  VANTORELLE_RETURN_IF_ERROR(slot.aggregate.add_codes(parameters, slot.waiting()));
  slot.pending = 0;
  return {};
}

// Moves everything a slot holds beside the engine's state into it: the
// waiting hashes, or a dense slot's registers (the slot then no longer
// dense).
Status settle(SketchSlot& slot, const SketchParameters& parameters, BufferTally& tally) {
  if (!slot.dense()) return flush(slot, parameters, tally);
  VANTORELLE_RETURN_IF_ERROR(slot.aggregate.merge_registers(slot.register_view(), slot.dense_count()));
  slot.release(tally);
  return {};
}

// Whether a folding slot's waiting codes end its sketch with registers,
// whatever comes next. The registers must hold every waiting code.
bool ends_with_registers(const SketchSlot& slot, const SketchParameters& parameters,
                         const SparseEncoding& encoding) {
  return sparse_data_exceeds(slot.waiting(), slot.folding.filled,
                             SparseRepresentation::max_sparse_data_bytes_at(parameters.normal_precision), encoding);
}

// A folding slot's sketch started from its registers, which hold every
// waiting code; the slot then takes batches.
Status start_from_folded(SketchSlot& slot, const SketchParameters& parameters, BufferTally& tally) {
  const std::span<const std::uint8_t> registers(slot.folding.registers,
                                                std::size_t{1} << parameters.normal_precision);
  Status started = slot.aggregate.start_from_registers(parameters, registers, slot.pending);
  slot.close_registers(tally);
  slot.pending = 0;
  slot.shrink(kSketchedBuffer);
  return started;
}

// Whether a slot whose hashes all reached the engine's state may turn dense.
bool may_turn_dense(const SketchSlot& slot) {
  return slot.normal_precision <= kLargestDensePrecision &&
         slot.aggregate.register_precision() == std::optional<std::int32_t>(slot.normal_precision);
}

// Adds the codes of values (in row order) to a slot: they wait while there
// is room, else the waiting ones and then these go to the engine's state. A
// dense slot takes them into its registers; with `few_groups`, a slot whose
// sketch has registers once its hashes reached it turns dense.
Status add_to_slot(SketchSlot& slot, const SketchParameters& parameters, const SparseEncoding& encoding,
                   std::span<const std::uint32_t> codes, BufferTally& tally, bool few_groups = false) {
  if (slot.dense()) {
    for (const std::uint32_t code : codes) slot.add_dense_code(encoding, code);
    return {};
  }
  const std::size_t wanted = slot.pending + codes.size();
  const std::uint32_t largest = slot.aggregate.empty() ? kLargestBuffer : kSketchedBuffer;
  if (wanted > slot.capacity && slot.capacity < largest && wanted <= largest) {
    std::uint32_t size = std::max<std::uint32_t>(kFirstBuffer, slot.capacity * 2u);
    while (size < wanted) size *= 2;
    slot.grow(size, tally);
  }
  if (wanted <= slot.capacity) {
    slot.append(codes);
    return {};
  }
  // A full buffer and no sketch yet: a look at the registers the codes fill
  // (without a sparse precision, a sketch has registers from the start).
  if (slot.aggregate.empty() && parameters.sparse_precision != 0 &&
      parameters.normal_precision <= kLargestFoldingPrecision) {
    // The registers' pointer takes the inline codes' place: those move to
    // a buffer first (a combine may bring many codes to a slot of a few).
    if (slot.buffer == nullptr) slot.grow(kLargestBuffer, tally);
    if (!slot.is_folding()) slot.open_registers(tally);
    slot.fold_waiting(encoding);
    if (ends_with_registers(slot, parameters, encoding)) {
      VANTORELLE_RETURN_IF_ERROR(start_from_folded(slot, parameters, tally));
    } else if (wanted <= kLargestFoldingBuffer) {
      std::uint32_t size = slot.capacity * 2u;
      while (size < wanted) size *= 2;
      slot.grow(std::min(size, kLargestFoldingBuffer), tally);
      slot.append(codes);
      return {};
    } else if (!slot.is_folding()) {
      slot.close_registers(tally);  // a first look that the buffer cannot follow
    }
  }
  VANTORELLE_RETURN_IF_ERROR(flush(slot, parameters, tally));
  if (few_groups && may_turn_dense(slot)) {
    slot.make_dense(tally);
    for (const std::uint32_t code : codes) slot.add_dense_code(encoding, code);
    return {};
  }
  if (slot.capacity > kSketchedBuffer) slot.shrink(kSketchedBuffer);
  if (codes.size() <= slot.capacity) {
    slot.append(codes);
    return {};
  }
  return slot.aggregate.add_codes(parameters, codes);
}

// The parameters of slots' sketches: their precisions, or the defaults when
// no row gave any (an ungrouped aggregate of no rows, an empty window
// frame). Checked once for each change of precisions from one slot to the
// next: a query has one pair.
class SlotParameters {
 public:
  explicit SlotParameters(InputType type) : type_(type) {}

  // Null with `status` set when the precisions are refused.
  const SketchParameters* of(const SketchSlot& slot, Status& status) {
    const bool given = slot.normal_precision != 0;
    const std::int32_t normal = given ? slot.normal_precision : HyperLogLogPlusPlus::kDefaultNormalPrecision;
    const std::int32_t sparse = given ? slot.sparse_precision : HyperLogLogPlusPlus::kDefaultSparsePrecision;
    if (!last_ || last_->normal_precision != normal || last_->sparse_precision != sparse) {
      last_.reset();
      Result<SketchParameters> checked = SketchParameters::create(type_, normal, sparse);
      if (!checked) {
        status = checked.take_error();
        return nullptr;
      }
      last_ = *checked;
      codes_ = last_->codes();
    }
    return &*last_;
  }
  // The codes of the parameters of() gave last.
  const SparseEncoding& codes() const { return *codes_; }

 private:
  InputType type_;
  std::optional<SketchParameters> last_;
  std::optional<SparseEncoding> codes_;
};

// The writer of sketches from hashes for these parameters, kept per thread
// for the last parameters asked for (a query has one set).
// Null with `status` set when the parameters are refused.
const GroupedSketchBuilder* writer_for(const SketchParameters& parameters, Status& status) {
  thread_local std::optional<GroupedSketchBuilder> writer;
  thread_local SketchParameters made_for;
  if (!writer || made_for.type != parameters.type || made_for.normal_precision != parameters.normal_precision ||
      made_for.sparse_precision != parameters.sparse_precision) {
    writer.reset();
    Result<GroupedSketchBuilder> fresh =
        GroupedSketchBuilder::create(parameters.type, parameters.normal_precision, parameters.sparse_precision);
    if (!fresh) {
      status = fresh.take_error();
      return nullptr;
    }
    writer.emplace(std::move(*fresh));
    made_for = parameters;
  }
  return &*writer;
}

// --- value columns -----------------------------------------------------------------

// Rows are hashed a block at a time, then each hash goes to its row's slot.
// A block's hashes (2 KiB) stay in the first-level cache beside what the
// rows touch: with few groups, their registers.
constexpr std::uint64_t kBlockRows = 256;
constexpr std::uint64_t kPrefetchRows = 16;

// The fingerprints of rows begin .. end of a value column, into
// hashes[0 .. end - begin); a NULL row's entry is 0 for text, and for
// integers the hash of whatever the row holds (read only to prefetch). One
// loop per DuckDB type: no type switch per row.
template <class T>
bool hash_integers(duckdb_vector vector, const std::uint64_t* validity, std::uint64_t begin, std::uint64_t end,
                   std::uint64_t* hashes, std::string& error) {
  const T* values = static_cast<const T*>(duckdb_vector_get_data(vector)) + begin;
  const std::uint64_t count = end - begin;
  if constexpr (std::is_same_v<T, std::uint64_t>) {
    std::uint64_t above = 0;  // any row above 2^63 - 1, found without a branch a row
    for (std::uint64_t i = 0; i < count; ++i) above |= values[i];
    if ((above >> 63) != 0) {
      for (std::uint64_t i = 0; i < count; ++i) {
        if ((values[i] >> 63) != 0 && is_valid(validity, begin + i)) {
          error = "the UBIGINT " + std::to_string(values[i]) +
                  " is above 2^63 - 1, the largest integer that sketches count";
          return false;
        }
      }
    }
  }
  if constexpr (sizeof(T) == sizeof(std::uint64_t)) {
    // hash_long of each row: the integer's 64 bits, hashed a batch at a time.
    HyperLogLogPlusPlus::hash_longs(reinterpret_cast<const std::uint64_t*>(values), count, hashes);
  } else {
    // Widened to 64 bits first (sign-extended as hash_long takes them), in
    // place, then hashed in place.
    for (std::uint64_t i = 0; i < count; ++i) {
      hashes[i] = static_cast<std::uint64_t>(static_cast<std::int64_t>(values[i]));
    }
    HyperLogLogPlusPlus::hash_longs(hashes, count, hashes);
  }
  return true;
}

bool hash_strings(duckdb_vector vector, const std::uint64_t* validity, std::uint64_t begin, std::uint64_t end,
                  std::uint64_t* hashes, std::string&) {
  const auto* values = static_cast<const duckdb_string_t*>(duckdb_vector_get_data(vector));
  for (std::uint64_t row = begin; row < end; ++row) {
    hashes[row - begin] = is_valid(validity, row) ? HyperLogLogPlusPlus::hash_bytes(string_bytes(values[row])) : 0;
  }
  return true;
}

using HashColumn = bool (*)(duckdb_vector, const std::uint64_t*, std::uint64_t, std::uint64_t, std::uint64_t*,
                            std::string&);

// --- precisions ----------------------------------------------------------------------

// The one value of an INTEGER precision column; an error when a row is NULL
// or rows differ. (The C API hands even a constant argument over as a flat
// vector, so the rows are compared: in one pass without early exits, which
// the compiler vectorises.)
bool constant_precision(duckdb_vector vector, std::uint64_t count, const char* name,
                        std::int32_t& value, std::string& error) {
  const auto* values = static_cast<const std::int32_t*>(duckdb_vector_get_data(vector));
  const std::uint64_t* validity = duckdb_vector_get_validity(vector);
  if (validity != nullptr) {
    for (std::uint64_t row = 0; row < count; ++row) {
      if (!is_valid(validity, row)) {
        error = std::string(name) + " is NULL: give it as a constant";
        return false;
      }
    }
  }
  std::uint32_t differs = 0;
  for (std::uint64_t row = 0; row < count; ++row) {
    differs |= static_cast<std::uint32_t>(values[row] ^ values[0]);
  }
  if (differs != 0) {
    std::uint64_t row = 1;
    while (values[row] == values[0]) ++row;
    error = std::string(name) + " must be a constant, the same for every row (rows give " +
            std::to_string(values[0]) + " and " + std::to_string(values[row]) + ")";
    return false;
  }
  value = count > 0 ? values[0] : 0;
  return true;
}

// Records the chunk's precisions in a slot whose precisions differ from them
// (a group whose values are all NULL still finalises to the empty sketch at
// them): only a slot that has none yet may take them.
std::string differing_precisions(const SketchSlot& slot, int normal_precision, int sparse_precision) {
  return "the precisions must be constants, the same for every row (a group has (" +
         std::to_string(slot.normal_precision) + ", " + std::to_string(slot.sparse_precision) + ") and (" +
         std::to_string(normal_precision) + ", " + std::to_string(sparse_precision) + "))";
}

bool note_precisions(SketchSlot& slot, const SketchParameters& parameters, std::string& error) {
  if (slot.normal_precision != 0) {
    error = differing_precisions(slot, parameters.normal_precision, parameters.sparse_precision);
    return false;
  }
  slot.normal_precision = static_cast<std::int8_t>(parameters.normal_precision);
  slot.sparse_precision = static_cast<std::int8_t>(parameters.sparse_precision);
  return true;
}

// --- the rows of a chunk ------------------------------------------------------------

// Whether a chunk's rows spread over more slots than stay in cache on their
// own: more than 16 among its first 64 rows, as far as 64 buckets of the
// slots' addresses tell (slots that share one count once). Then the loop
// below fetches slots ahead of their rows; with few groups that only costs.
// (Without a branch a row: a search of the slots seen so far mispredicts at
// nearly every row.)
bool spread_over_many_slots(std::span<const duckdb_aggregate_state> slots) {
  std::uint64_t buckets = 0;
  for (std::size_t row = 0; row < std::min<std::size_t>(slots.size(), 64); ++row) {
    const auto address = reinterpret_cast<std::uintptr_t>(slots[row]);
    buckets |= std::uint64_t{1} << ((address * 0x9E3779B97F4A7C15ull) >> 58);
  }
  return std::popcount(buckets) > 16;
}

// The rows from `row` on whose slots are dense at the chunk's precisions
// (`dense_shape`, normal precision p), into those slots' registers, in a
// loop of their own (one that keeps everything it needs in registers).
// Returns the first row whose slot is not.
std::size_t add_dense_rows(std::span<const duckdb_aggregate_state> slots, const std::uint64_t* hashes,
                           const std::uint64_t* validity, std::uint64_t first_row, std::size_t row,
                           std::uint32_t dense_shape, int p) {
  for (; row < slots.size(); ++row) {
    SketchSlot& slot = sketch_slot(slots[row]);
    if (slot.shape() != dense_shape) break;
    if (is_valid(validity, first_row + row)) slot.add_dense(p, hashes[row]);
  }
  return row;
}

// Each valid row's hash (hashes[i] for slots[i], row first_row + i of the
// chunk) to its slot, in row order: its code to wait there, or, in a dense
// slot, the hash into the registers. With many slots, few of them dense,
// the codes are made beforehand (codes[i]); with few, most rows go to dense
// slots and only the others are coded. A slot that has no precisions yet
// takes the chunk's; one that has others is an error in `error`. (A slot of
// the overload without precisions always holds the defaults.)
template <bool kPrefetch>
Status add_rows(std::span<const duckdb_aggregate_state> slots, const std::uint64_t* hashes,
                const std::uint32_t* codes, const std::uint64_t* validity, std::uint64_t first_row,
                const SketchParameters& parameters, const SparseEncoding& encoding, BufferTally& tally,
                std::string& error) {
  const auto normal = static_cast<std::int8_t>(parameters.normal_precision);
  const auto sparse = static_cast<std::int8_t>(parameters.sparse_precision);
  const std::uint32_t dense_shape = SketchSlot::shape_of(0, normal, sparse);
  const std::size_t count = slots.size();
  for (std::size_t i = 0; i < count; ++i) {
    if constexpr (!kPrefetch) {
      i = add_dense_rows(slots, hashes, validity, first_row, i, dense_shape, normal);
      if (i == count) break;
    }
    if constexpr (kPrefetch) {
      // When groups are many, a row's slot and the line its hash goes to
      // are likely cache misses: the slot is fetched 32 rows ahead, and the
      // line once the slot has arrived, 16 rows ahead.
      if (i + 2 * kPrefetchRows < count) __builtin_prefetch(slots[i + 2 * kPrefetchRows], 1);
      if (i + kPrefetchRows < count) sketch_slot(slots[i + kPrefetchRows]).prefetch_for(hashes[i + kPrefetchRows]);
    }
    SketchSlot& slot = sketch_slot(slots[i]);
    // A dense slot of the chunk's precisions: one test of the three fields.
    if (slot.shape() == dense_shape && is_valid(validity, first_row + i)) {
      slot.add_dense(normal, hashes[i]);
      continue;
    }
    if (slot.normal_precision != normal || slot.sparse_precision != sparse) [[unlikely]] {
      if (!note_precisions(slot, parameters, error)) return {};
    }
    if (!is_valid(validity, first_row + i)) continue;
    if (slot.dense()) {
      // At the chunk's precision, which the slot's was just checked to be.
      slot.add_dense(normal, hashes[i]);
      continue;
    }
    const std::uint32_t code = kPrefetch ? codes[i] : encoding.encode(hashes[i]);
    if (slot.try_append(code)) [[likely]] continue;
    VANTORELLE_RETURN_IF_ERROR(add_to_slot(slot, parameters, encoding, std::span(&code, 1), tally, !kPrefetch));
  }
  return {};
}

// --- vantorelle_sketch -------------------------------------------------------------

idx_t sketch_state_size(duckdb_function_info) { return sizeof(SketchSlot); }

void sketch_init(duckdb_function_info info, duckdb_aggregate_state state) {
  const auto* overload = static_cast<const Overload*>(duckdb_aggregate_function_get_extra_info(info));
  auto* slot = new (state) SketchSlot();
  if (!overload->takes_precisions) {
    slot->normal_precision = HyperLogLogPlusPlus::kDefaultNormalPrecision;
    slot->sparse_precision = HyperLogLogPlusPlus::kDefaultSparsePrecision;
  }
}

template <HashColumn hash_column>
void sketch_update(duckdb_function_info info, duckdb_data_chunk input, duckdb_aggregate_state* states) {
  guarded(info, "vantorelle_sketch", [&] {
    const auto* overload = static_cast<const Overload*>(duckdb_aggregate_function_get_extra_info(info));
    const std::uint64_t count = duckdb_data_chunk_get_size(input);
    if (count == 0) return;
    const std::uint64_t columns = duckdb_data_chunk_get_column_count(input);
    std::string error;
    std::int32_t normal = HyperLogLogPlusPlus::kDefaultNormalPrecision;
    std::int32_t sparse = HyperLogLogPlusPlus::kDefaultSparsePrecision;
    if (columns > 1 && !constant_precision(duckdb_data_chunk_get_vector(input, 1), count,
                                           "normal_precision", normal, error)) {
      return fail(info, "vantorelle_sketch", error);
    }
    if (columns > 2 && !constant_precision(duckdb_data_chunk_get_vector(input, 2), count,
                                           "sparse_precision", sparse, error)) {
      return fail(info, "vantorelle_sketch", error);
    }
    Result<SketchParameters> parameters = SketchParameters::create(overload->type, normal, sparse);
    if (!parameters) return fail(info, "vantorelle_sketch", parameters.error().display());

    const SparseEncoding encoding = parameters->codes();
    duckdb_vector values = duckdb_data_chunk_get_vector(input, 0);
    const std::uint64_t* validity = duckdb_vector_get_validity(values);
    BufferTally tally;
    std::uint64_t hashes[kBlockRows];
    std::uint32_t codes[kBlockRows];
    const bool many_slots = spread_over_many_slots(std::span(states, count));
    for (std::uint64_t begin = 0; begin < count; begin += kBlockRows) {
      const std::uint64_t end = std::min(count, begin + kBlockRows);
      if (!hash_column(values, validity, begin, end, hashes, error)) return fail(info, "vantorelle_sketch", error);
      // Coded a block at a time (eight a step where AVX-512 allows).
      if (many_slots) encoding.encode_all(hashes, end - begin, codes);
      // Row by row, so each group's hashes arrive in row order.
      const std::span<duckdb_aggregate_state> slots(states + begin, end - begin);
      Status added =
          many_slots ? add_rows<true>(slots, hashes, codes, validity, begin, *parameters, encoding, tally, error)
                     : add_rows<false>(slots, hashes, codes, validity, begin, *parameters, encoding, tally, error);
      if (!added) return fail(info, "vantorelle_sketch", added.error().display());
      if (!error.empty()) return fail(info, "vantorelle_sketch", error);
    }
  });
}

void sketch_combine(duckdb_function_info info, duckdb_aggregate_state* source,
                    duckdb_aggregate_state* target, idx_t count) {
  guarded(info, "vantorelle_sketch", [&] {
    const auto* overload = static_cast<const Overload*>(duckdb_aggregate_function_get_extra_info(info));
    SlotParameters slot_parameters(overload->type);
    BufferTally tally;
    for (idx_t i = 0; i < count; ++i) {
      // DuckDB may combine one source into several targets, from several
      // threads (window segment trees): the source is only read.
      const SketchSlot& from = sketch_slot(source[i]);
      SketchSlot& into = sketch_slot(target[i]);
      if (into.normal_precision == 0) {
        into.normal_precision = from.normal_precision;
        into.sparse_precision = from.sparse_precision;
      } else if (from.normal_precision != 0 && (from.normal_precision != into.normal_precision ||
                                                from.sparse_precision != into.sparse_precision)) {
        // (rows of one group at other precisions met in another partial
        // state: another thread's, another branch of a UNION ALL)
        return fail(info, "vantorelle_sketch",
                    differing_precisions(into, from.normal_precision, from.sparse_precision));
      }
      if (from.pending == 0 && from.aggregate.empty()) continue;
      Status combined;
      const SketchParameters* parameters = slot_parameters.of(into, combined);
      if (parameters == nullptr) return fail(info, "vantorelle_sketch", combined.error().display());
      if (!from.aggregate.empty()) {
        // (DuckDB combines into fresh states: `into` is rarely dense.)
        combined = settle(into, *parameters, tally);
        if (combined) combined = into.aggregate.combine_copy(from.aggregate);
      }
      if (!combined) return fail(info, "vantorelle_sketch", combined.error().display());
      if (from.dense()) {
        // `into` took the registers of from's sketch just above.
        combined = into.aggregate.merge_registers(from.register_view(), from.dense_count());
      } else {
        // DuckDB combines each thread's state of a group into a fresh one,
        // one after another: room for two such shares at once saves moving
        // the first when the second arrives.
        if (into.buffer == nullptr && into.pending == 0 && into.aggregate.empty() && from.pending > kInlineCodes &&
            2 * from.pending <= kLargestBuffer) {
          into.grow(std::bit_ceil(2 * from.pending), tally);
        }
        combined = add_to_slot(into, *parameters, slot_parameters.codes(), from.waiting(), tally);
      }
      if (!combined) return fail(info, "vantorelle_sketch", combined.error().display());
    }
  });
}

void sketch_finalize(duckdb_function_info info, duckdb_aggregate_state* source, duckdb_vector result,
                     idx_t count, idx_t offset) {
  guarded(info, "vantorelle_sketch", [&] {
    const auto* overload = static_cast<const Overload*>(duckdb_aggregate_function_get_extra_info(info));
    SlotParameters slot_parameters(overload->type);
    BufferTally tally;
    std::vector<std::uint32_t> codes;
    // The writer of the last parameters, asked for again only when they
    // change (a query has one pair), and its room kept from group to group.
    const GroupedSketchBuilder* writer = nullptr;
    std::optional<GroupedSketchBuilder::OneAtATime> one_at_a_time;
    Bytes written;
    SketchParameters last_written;
    for (idx_t i = 0; i < count; ++i) {
      SketchSlot& slot = sketch_slot(source[i]);
      if (slot.normal_precision == 0) {
        // No row reached the slot (no rows at all, a FILTER that none
        // passed, an empty window frame), and DuckDB hands an aggregate its
        // precision arguments only with rows: a sketch at precisions nobody
        // asked for would lower every sketch merged with it. NULL instead.
        set_null(result, offset + i);
        continue;
      }
      Status made;
      const SketchParameters* parameters = slot_parameters.of(slot, made);
      if (parameters == nullptr) return fail(info, "vantorelle_sketch", made.error().display());
      if (slot.is_folding() && slot.folding.registers != nullptr) {
        // A group that took many values since its last look: its registers
        // when they are bound to be its sketch's, without writing its codes.
        const SparseEncoding& encoding = slot_parameters.codes();
        slot.fold_waiting(encoding);
        if (ends_with_registers(slot, *parameters, encoding)) {
          Status started = start_from_folded(slot, *parameters, tally);
          if (!started) return fail(info, "vantorelle_sketch", started.error().display());
        }
      }
      if (slot.aggregate.empty()) {
        if (writer == nullptr || parameters->normal_precision != last_written.normal_precision ||
            parameters->sparse_precision != last_written.sparse_precision) {
          writer = writer_for(*parameters, made);
          if (writer == nullptr) return fail(info, "vantorelle_sketch", made.error().display());
          one_at_a_time.emplace(*writer);
          last_written = *parameters;
        }
        // The slot's codes are the writer's: SketchParameters::codes()
        // makes them as GroupedSketchBuilder does.
        const std::span<const std::uint32_t> waiting = slot.waiting();
        codes.assign(waiting.begin(), waiting.end());
        written.clear();
        Status wrote = one_at_a_time->write(codes, written);
        if (!wrote) return fail(info, "vantorelle_sketch", wrote.error().display());
        set_blob(result, offset + i, written);
        continue;
      }
      // The state finalised is the query's own (the hash table's, or a
      // window's per-row state), never a shared source.
      Status flushed = settle(slot, *parameters, tally);
      if (!flushed) return fail(info, "vantorelle_sketch", flushed.error().display());
      Result<Bytes> bytes = slot.aggregate.finalise_sketch(*parameters);
      if (!bytes) return fail(info, "vantorelle_sketch", bytes.error().display());
      set_blob(result, offset + i, *bytes);
    }
  });
}

void sketch_destroy(duckdb_aggregate_state* states, idx_t count) { destroy_slots<SketchSlot>(states, count); }

// --- refused value types ---------------------------------------------------------

struct Refusal {
  std::string message;
};

idx_t refused_state_size(duckdb_function_info info) {
  const auto* refusal = static_cast<const Refusal*>(duckdb_aggregate_function_get_extra_info(info));
  duckdb_aggregate_function_set_error(info, refusal->message.c_str());
  return sizeof(SketchSlot);
}

void refused_init(duckdb_function_info, duckdb_aggregate_state state) { new (state) SketchSlot(); }
void refused_update(duckdb_function_info info, duckdb_data_chunk, duckdb_aggregate_state*) {
  const auto* refusal = static_cast<const Refusal*>(duckdb_aggregate_function_get_extra_info(info));
  duckdb_aggregate_function_set_error(info, refusal->message.c_str());
}
void refused_combine(duckdb_function_info, duckdb_aggregate_state*, duckdb_aggregate_state*, idx_t) {}
void refused_finalize(duckdb_function_info info, duckdb_aggregate_state*, duckdb_vector, idx_t, idx_t) {
  const auto* refusal = static_cast<const Refusal*>(duckdb_aggregate_function_get_extra_info(info));
  duckdb_aggregate_function_set_error(info, refusal->message.c_str());
}

std::string refusal_message(duckdb_type id) {
  if (id == DUCKDB_TYPE_LIST) {
    // The form of the earlier Python functions, which took each group's list.
    return "vantorelle_sketch cannot count LIST values: it is an aggregate of the values "
           "themselves, so write vantorelle_sketch(value) rather than vantorelle_sketch(list(value))";
  }
  std::string message = "vantorelle_sketch cannot count ";
  // (the catch-all overload learns no more of the type than that it is none
  // of the others)
  message += id == DUCKDB_TYPE_ANY
                 ? std::string("values of this type (an ENUM, STRUCT, MAP, UNION, ARRAY, an untyped NULL or another)")
                 : std::string(type_name(id)) + " values";
  message += ": ";
  message += kCounted;
  switch (id) {
    case DUCKDB_TYPE_FLOAT:
    case DUCKDB_TYPE_DOUBLE:
    case DUCKDB_TYPE_DECIMAL:
      message += "; cast whole numbers to BIGINT, or count the text form (value::VARCHAR)";
      break;
    case DUCKDB_TYPE_HUGEINT:
    case DUCKDB_TYPE_UHUGEINT:
    case DUCKDB_TYPE_BIGNUM:
      message += "; cast to BIGINT when the values fit, or count the text form (value::VARCHAR)";
      break;
    case DUCKDB_TYPE_DATE:
    case DUCKDB_TYPE_TIMESTAMP:
    case DUCKDB_TYPE_TIMESTAMP_S:
    case DUCKDB_TYPE_TIMESTAMP_MS:
    case DUCKDB_TYPE_TIMESTAMP_NS:
    case DUCKDB_TYPE_TIMESTAMP_TZ:
      message += "; count epoch(value) or epoch_us(value) (a BIGINT), or value::VARCHAR";
      break;
    default:
      message += "; cast the value to VARCHAR to count its text form";
  }
  return message;
}

// --- registration ------------------------------------------------------------------

template <class Info>
void delete_info(void* info) {
  delete static_cast<Info*>(info);
}

struct AcceptedType {
  duckdb_type id;
  InputType counted;
  duckdb_aggregate_update_t update;
};

constexpr std::array kAccepted = {
    AcceptedType{DUCKDB_TYPE_BIGINT, InputType::LONG, sketch_update<hash_integers<std::int64_t>>},
    AcceptedType{DUCKDB_TYPE_INTEGER, InputType::LONG, sketch_update<hash_integers<std::int32_t>>},
    AcceptedType{DUCKDB_TYPE_SMALLINT, InputType::LONG, sketch_update<hash_integers<std::int16_t>>},
    AcceptedType{DUCKDB_TYPE_TINYINT, InputType::LONG, sketch_update<hash_integers<std::int8_t>>},
    AcceptedType{DUCKDB_TYPE_UBIGINT, InputType::LONG, sketch_update<hash_integers<std::uint64_t>>},
    AcceptedType{DUCKDB_TYPE_UINTEGER, InputType::LONG, sketch_update<hash_integers<std::uint32_t>>},
    AcceptedType{DUCKDB_TYPE_USMALLINT, InputType::LONG, sketch_update<hash_integers<std::uint16_t>>},
    AcceptedType{DUCKDB_TYPE_UTINYINT, InputType::LONG, sketch_update<hash_integers<std::uint8_t>>},
    // DuckDB's BOOLEAN is one byte holding 0 or 1.
    AcceptedType{DUCKDB_TYPE_BOOLEAN, InputType::LONG, sketch_update<hash_integers<std::uint8_t>>},
    AcceptedType{DUCKDB_TYPE_VARCHAR, InputType::STRING, sketch_update<hash_strings>},
    AcceptedType{DUCKDB_TYPE_BLOB, InputType::BYTES, sketch_update<hash_strings>},
};

// Types refused by name; anything else not accepted meets the ANY overload.
constexpr std::array kRefused = {
    DUCKDB_TYPE_DOUBLE,       DUCKDB_TYPE_FLOAT,        DUCKDB_TYPE_DECIMAL,      DUCKDB_TYPE_HUGEINT,
    DUCKDB_TYPE_UHUGEINT,     DUCKDB_TYPE_BIGNUM,       DUCKDB_TYPE_DATE,         DUCKDB_TYPE_TIME,
    DUCKDB_TYPE_TIME_TZ,      DUCKDB_TYPE_TIMESTAMP,    DUCKDB_TYPE_TIMESTAMP_S,  DUCKDB_TYPE_TIMESTAMP_MS,
    DUCKDB_TYPE_TIMESTAMP_NS, DUCKDB_TYPE_TIMESTAMP_TZ, DUCKDB_TYPE_INTERVAL,     DUCKDB_TYPE_UUID,
    DUCKDB_TYPE_BIT,          DUCKDB_TYPE_LIST,         DUCKDB_TYPE_ANY,
};

// The parameter type that catches a refused type: any DECIMAL width binds
// to DECIMAL(18, 3) (DuckDB resolves decimals by family), any list to
// LIST(ANY).
duckdb_logical_type refused_parameter(duckdb_type id) {
  if (id == DUCKDB_TYPE_DECIMAL) return duckdb_create_decimal_type(18, 3);
  if (id == DUCKDB_TYPE_LIST) {
    LogicalType any(DUCKDB_TYPE_ANY);
    return duckdb_create_list_type(any.get());
  }
  return duckdb_create_logical_type(id);
}

// One overload: the value's type, then `precisions` INTEGER arguments.
duckdb_aggregate_function sketch_function(duckdb_logical_type value, int precisions) {
  duckdb_aggregate_function function = duckdb_create_aggregate_function();
  duckdb_aggregate_function_set_name(function, "vantorelle_sketch");
  duckdb_aggregate_function_add_parameter(function, value);
  LogicalType integer(DUCKDB_TYPE_INTEGER);
  for (int i = 0; i < precisions; ++i) duckdb_aggregate_function_add_parameter(function, integer.get());
  LogicalType blob(DUCKDB_TYPE_BLOB);
  duckdb_aggregate_function_set_return_type(function, blob.get());
  return function;
}

bool add_to(duckdb_aggregate_function_set set, duckdb_aggregate_function function, std::string& error) {
  const bool added = duckdb_add_aggregate_function_to_set(set, function) == DuckDBSuccess;
  duckdb_destroy_aggregate_function(&function);
  if (!added) error = "DuckDB refused an overload of an aggregate";
  return added;
}

bool register_sketch(duckdb_connection connection, std::string& error) {
  duckdb_aggregate_function_set set = duckdb_create_aggregate_function_set("vantorelle_sketch");
  bool ok = true;
  for (int precisions = 0; precisions <= 2 && ok; ++precisions) {
    for (const AcceptedType& accepted : kAccepted) {
      LogicalType value(accepted.id);
      duckdb_aggregate_function function = sketch_function(value.get(), precisions);
      duckdb_aggregate_function_set_functions(function, sketch_state_size, sketch_init, accepted.update,
                                              sketch_combine, sketch_finalize);
      duckdb_aggregate_function_set_destructor(function, sketch_destroy);
      // NULL values reach update, which skips them.
      duckdb_aggregate_function_set_special_handling(function);
      duckdb_aggregate_function_set_extra_info(function, new Overload{accepted.counted, precisions > 0},
                                               delete_info<Overload>);
      if (!(ok = add_to(set, function, error))) break;
    }
    for (duckdb_type refused : kRefused) {
      if (!ok) break;
      LogicalType value(refused_parameter(refused));
      duckdb_aggregate_function function = sketch_function(value.get(), precisions);
      duckdb_aggregate_function_set_functions(function, refused_state_size, refused_init, refused_update,
                                              refused_combine, refused_finalize);
      duckdb_aggregate_function_set_destructor(function, sketch_destroy);
      duckdb_aggregate_function_set_extra_info(function, new Refusal{refusal_message(refused)},
                                               delete_info<Refusal>);
      ok = add_to(set, function, error);
    }
  }
  if (ok && duckdb_register_aggregate_function_set(connection, set) != DuckDBSuccess) {
    error = "DuckDB refused the vantorelle_sketch aggregate";
    ok = false;
  }
  duckdb_destroy_aggregate_function_set(&set);
  return ok;
}

duckdb_aggregate_function merge_function(duckdb_logical_type parameter) {
  duckdb_aggregate_function function = duckdb_create_aggregate_function();
  duckdb_aggregate_function_set_name(function, "vantorelle_merge");
  duckdb_aggregate_function_add_parameter(function, parameter);
  LogicalType blob(DUCKDB_TYPE_BLOB);
  duckdb_aggregate_function_set_return_type(function, blob.get());
  return function;
}

bool register_merge(duckdb_connection connection, std::string& error) {
  duckdb_aggregate_function_set set = duckdb_create_aggregate_function_set("vantorelle_merge");
  LogicalType blob(DUCKDB_TYPE_BLOB);
  duckdb_aggregate_function function = merge_function(blob.get());
  duckdb_aggregate_function_set_functions(function, merge_state_size, merge_init, merge_update, merge_combine,
                                          merge_finalize);
  duckdb_aggregate_function_set_destructor(function, merge_destroy);
  duckdb_aggregate_function_set_special_handling(function);
  bool ok = add_to(set, function, error);
  // The list form of the earlier Python functions is refused with the query
  // to write instead.
  LogicalType list(refused_parameter(DUCKDB_TYPE_LIST));
  function = merge_function(list.get());
  duckdb_aggregate_function_set_functions(function, refused_state_size, refused_init, refused_update,
                                          refused_combine, refused_finalize);
  duckdb_aggregate_function_set_destructor(function, sketch_destroy);
  duckdb_aggregate_function_set_extra_info(
      function,
      new Refusal{"vantorelle_merge cannot merge LIST values: it is an aggregate of the stored sketches "
                  "themselves, so write vantorelle_merge(sketch) rather than vantorelle_merge(list(sketch))"},
      delete_info<Refusal>);
  ok = ok && add_to(set, function, error);
  if (ok && duckdb_register_aggregate_function_set(connection, set) != DuckDBSuccess) {
    error = "DuckDB refused the vantorelle_merge aggregate";
    ok = false;
  }
  duckdb_destroy_aggregate_function_set(&set);
  return ok;
}

}  // namespace

std::int64_t live_hash_buffers() { return live_buffers.load(std::memory_order_relaxed); }

bool register_sketch_aggregates(duckdb_connection connection, std::string& error) {
  return register_sketch(connection, error) && register_merge(connection, error);
}

}  // namespace vantorelle::duckdb_ext
