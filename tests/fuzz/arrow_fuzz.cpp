// libFuzzer target over the engine's Arrow readers: a key column and a value
// column built from fuzzed bytes (arrow_input.h), every buffer placed right
// before a wide unreadable guard, handed to the grouped aggregation. Offsets,
// view indices and sizes, dictionary indices, buffer counts and lengths are
// the fuzzer's: whatever they are, the engine must refuse the input with an
// error or read only what the arrays hold (a read past any buffer faults on
// its guard). An accepted input must give the same result on one
// thread as on several.
#include <cstdint>
#include <memory>
#include <vector>

#include "../cpp/engine_arrays.h"
#include "arrow_input.h"
#include "engine/grouped_aggregation.h"
#include "fuzz_support.h"

namespace vantorelle {
namespace {

constexpr const char kFuzzTarget[] = "arrow_fuzz";

// Unreadable memory after every buffer, past the reach of any 32-bit offset
// or view: the engine can tell an offset past its data buffer only when it
// points at memory that does not exist (memory_probe.h), so with a guard of
// one page an offset a few pages out would be read, in whatever allocation
// lies there, and the sanitizer would report that read as the engine's.
constexpr std::size_t kGuardBytes = std::size_t{1} << 36;

std::unique_ptr<test::TestArray> build(const test::ArraySpec& spec, const char* format) {
  auto array = std::make_unique<test::TestArray>();
  array->format = format;
  array->buffers = spec.buffers;
  array->array.length = spec.length;
  array->array.offset = spec.offset;
  array->array.null_count = spec.null_count;
  array->guarded.resize(array->buffers.size());
  for (std::size_t b = 0; b < array->buffers.size(); ++b) {
    if (!array->buffers[b].empty()) {
      array->guarded[b] = std::make_unique<test::GuardedBuffer>(array->buffers[b], kGuardBytes);
    }
  }
  array->finish();
  // An empty buffer is a missing one.
  for (std::size_t b = 0; b < array->buffers.size(); ++b) {
    if (array->buffers[b].empty()) array->pointers[b] = nullptr;
  }
  return array;
}

std::unique_ptr<test::TestArray> read_column(test::InputReader& input, const test::ArrowKind& kind) {
  const test::ArraySpec spec = input.array();
  auto array = build(spec, kind.format);
  if (kind.values != nullptr) {
    array->dictionary = build(input.array(), kind.values);
    array->finish();
    for (std::size_t b = 0; b < array->buffers.size(); ++b) {
      if (array->buffers[b].empty()) array->pointers[b] = nullptr;
    }
  }
  return array;
}

engine::ColumnChunks column_of(const test::TestArray& array, const char* name) {
  engine::ColumnChunks column;
  column.schema = &array.schema;
  column.name = name;
  column.add(array.array);
  return column;
}

}  // namespace
}  // namespace vantorelle

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantorelle;
  test::InputReader input(data, size);
  const test::ArrowKind& key_kind = test::kKeyKinds[input.byte() % std::size(test::kKeyKinds)];
  const test::ArrowKind& value_kind = test::kValueKinds[input.byte() % std::size(test::kValueKinds)];
  const int threads = 1 + input.byte() % 3;
  auto keys = read_column(input, key_kind);
  auto values = read_column(input, value_kind);
  // A table's columns have one length.
  values->array.length = keys->array.length;
  const engine::ColumnChunks key_column = column_of(*keys, "k");
  const engine::ColumnChunks value_column = column_of(*values, "v");
  Result<engine::GroupedSketches> once =
      engine::sketch_groups(std::span(&key_column, 1), value_column, std::nullopt, 10, 15, 1);
  Result<engine::GroupedSketches> again =
      engine::sketch_groups(std::span(&key_column, 1), value_column, std::nullopt, 10, 15, threads);
  FUZZ_CHECK(once.has_value() == again.has_value());
  if (once) {
    FUZZ_CHECK(once->first_rows == again->first_rows);
    FUZZ_CHECK(once->sketches.data == again->sketches.data);
    FUZZ_CHECK(once->sketches.offsets == again->sketches.offsets);
  } else {
    FUZZ_CHECK(once.error() == again.error());
  }
  // The same column as stored sketches: checked, then merged or refused.
  Result<engine::GroupedSketches> merged = engine::merge_stored_groups(std::span(&key_column, 1), value_column, threads);
  (void)merged;
  return 0;
}
