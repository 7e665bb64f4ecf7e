// Writes the seed corpus of state_fuzz: pairs of valid serialised sketches of
// every shape, in the input layout described in state_fuzz.cpp.
//
//   state_seed_corpus OUTPUT_DIR
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "hll/encoding.h"
#include "hll/hyperloglogplusplus.h"
#include "state/state_message.h"
#include "utils/buffer_traits.h"

namespace vantorelle {
namespace {

struct Shape {
  std::string name;
  Bytes bytes;
};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "state_seed_corpus: %s\n", what.c_str());
  std::exit(1);
}

template <class T>
T take(Result<T> result, const std::string& what) {
  if (!result) die(what + ": " + result.error().display());
  return std::move(*result);
}

void check(Status status, const std::string& what) {
  if (!status) die(what + ": " + status.error().display());
}

HyperLogLogPlusPlus make(bool strings, std::int32_t p, std::int32_t sp) {
  const std::string what = "building (" + std::to_string(p) + ", " + std::to_string(sp) + ")";
  return strings ? take(HyperLogLogPlusPlus::new_string_or_bytes(p, sp), what)
                 : take(HyperLogLogPlusPlus::new_long(p, sp), what);
}

void fill(HyperLogLogPlusPlus& sketch, bool strings, int count, std::uint64_t seed) {
  for (int i = 0; i < count; ++i) {
    const std::uint64_t value = seed * 1000003 + static_cast<std::uint64_t>(i);
    if (strings) {
      check(sketch.add_string("v" + std::to_string(value)), "add_string");
    } else {
      check(sketch.add_long(static_cast<std::int64_t>(value)), "add_long");
    }
  }
}

Bytes serialise(const HyperLogLogPlusPlus& sketch) { return take(sketch.to_bytes(), "to_bytes"); }

SketchState base_state(std::int32_t p, std::int32_t sp) {
  SketchState state;
  state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
  state.encoding_version = 2;
  state.precision = p;
  state.sparse_precision = sp;
  return state;
}

// Sparse data holding `count` values, more bytes than the sketch's budget
// allows for large counts: loading it converts on the next update.
Bytes sparse_data_of(std::int32_t p, std::int32_t sp, int count, std::uint64_t seed) {
  const SparseEncoding encoding = take(SparseEncoding::create(p, sp), "sparse encoding");
  std::vector<std::uint32_t> values;
  std::uint64_t x = seed;
  for (int i = 0; i < count; ++i) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    values.push_back(encoding.encode(x));
  }
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  DifferenceEncoder encoder;
  for (std::uint32_t value : values) {
    check(encoder.put(static_cast<std::int32_t>(value)), "difference coding");
  }
  return std::move(encoder).take();
}

Bytes encode(const SketchState& state) { return take(encode_state(state), "encode_state"); }

std::vector<Shape> shapes() {
  std::vector<Shape> out;
  const std::pair<std::int32_t, std::int32_t> sparse_pairs[] = {
      {10, 10}, {10, 25}, {24, 24}, {24, 25}, {15, 20}, {14, 19}};
  for (bool strings : {false, true}) {
    const std::string family = strings ? "string" : "long";
    for (const auto& [p, sp] : sparse_pairs) {
      for (int count : {0, 1, 100, 1000}) {
        HyperLogLogPlusPlus sketch = make(strings, p, sp);
        fill(sketch, strings, count, static_cast<std::uint64_t>(p * 100 + sp));
        out.push_back({family + "_sparse_" + std::to_string(p) + "_" + std::to_string(sp) + "_n" +
                           std::to_string(count),
                       serialise(sketch)});
      }
    }
    // Without sparse phase; registers allocated only after the first add.
    // Precision 24 stays empty to keep the inputs small.
    for (std::int32_t p : {10, 12, 15}) {
      for (int count : {0, 1, 5000}) {
        HyperLogLogPlusPlus sketch = make(strings, p, 0);
        fill(sketch, strings, count, static_cast<std::uint64_t>(p));
        out.push_back({family + "_normal_" + std::to_string(p) + "_n" + std::to_string(count),
                       serialise(sketch)});
      }
    }
    out.push_back({family + "_normal_24_empty", serialise(make(strings, 24, 0))});
    // Sparse sketches that outgrew their budget and converted.
    for (const auto& [p, sp] : {std::pair{10, 25}, std::pair{11, 16}}) {
      HyperLogLogPlusPlus sketch = make(strings, p, sp);
      fill(sketch, strings, 3000, 7);
      out.push_back({family + "_converted_" + std::to_string(p) + "_" + std::to_string(sp),
                     serialise(sketch)});
    }
  }

  // Hand-made states: over-budget sparse data, present-empty fields, both
  // byte arrays, no value type.
  {
    SketchState state = base_state(10, 25);
    state.sparse_data = sparse_data_of(10, 25, 2000, 1);
    state.sparse_size = 2000;
    out.push_back({"over_budget_sparse_10_25", encode(state)});
  }
  {
    SketchState state = base_state(12, 14);
    state.sparse_data = sparse_data_of(12, 14, 4000, 2);
    out.push_back({"over_budget_sparse_12_14_no_size", encode(state)});
  }
  {
    SketchState state = base_state(15, 20);
    state.sparse_data.emplace();
    state.value_type = ValueType::default_ops(DefaultOpsType::UINT32);
    out.push_back({"empty_sparse_data_uint32", encode(state)});
  }
  {
    SketchState state = base_state(15, 20);
    out.push_back({"absent_sparse_data_unknown_value_type", encode(state)});
  }
  {
    SketchState state = base_state(10, 0);
    state.data = Bytes(1024, 0);
    state.num_values = 3;
    out.push_back({"zero_registers_10", encode(state)});
  }
  {
    SketchState state = base_state(10, 15);
    state.data = Bytes(1024, 1);
    state.sparse_data = sparse_data_of(10, 15, 10, 3);
    out.push_back({"data_and_sparse_data_10_15", encode(state)});
  }
  {
    SketchState state = base_state(13, 18);
    state.sparse_data = sparse_data_of(13, 18, 50, 4);
    state.value_type = ValueType::default_ops(DefaultOpsType::BYTES_OR_UTF8_STRING);
    state.num_values = UINT64_MAX;
    out.push_back({"wrapping_count_13_18", encode(state)});
  }
  return out;
}

void write(const std::filesystem::path& path, std::uint8_t control, const Bytes& first,
           const Bytes& second) {
  Bytes input;
  input.push_back(control);
  input.push_back(static_cast<std::uint8_t>(first.size()));
  input.push_back(static_cast<std::uint8_t>(first.size() >> 8));
  input.push_back(static_cast<std::uint8_t>(first.size() >> 16));
  input.insert(input.end(), first.begin(), first.end());
  input.insert(input.end(), second.begin(), second.end());
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
  if (!file) die("cannot write " + path.string());
}

}  // namespace
}  // namespace vantorelle

int main(int argc, char** argv) {
  using namespace vantorelle;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir(argv[1]);
  std::filesystem::create_directories(dir);
  const std::vector<Shape> all = shapes();
  int written = 0;
  // Each shape once on its own, and paired with the shape a few places on,
  // with control bytes that vary the adds and the merge order.
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Shape& a = all[i];
    const Shape& b = all[(i * 7 + 3) % all.size()];
    const auto control = static_cast<std::uint8_t>((i * 37) & 0x7F);
    write(dir / (a.name + ".bin"), control, a.bytes, {});
    write(dir / (a.name + "+" + b.name + ".bin"), control, a.bytes, b.bytes);
    written += 2;
  }
  std::printf("%d seed inputs in %s\n", written, dir.string().c_str());
  return 0;
}
