// Serialisation speed: to_bytes and from_bytes of a normal sketch at
// precision 15 (32 KiB of registers) and of a sparse sketch of 1,000 values,
// plus the bare message codec underneath them.
//
// Targets: normal to_bytes and from_bytes <= 10 us each, sparse <= 5 us each;
// validating the sparse_data of 1,000 values well under 1 us.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "hll/hyperloglogplusplus.h"
#include "state/state_message.h"
#include "state/state_validation.h"

namespace vantorelle {
namespace {

template <class T>
T must(Result<T> result) {
  if (!result) {
    std::fprintf(stderr, "state_bench: %s\n", result.error().display().c_str());
    std::abort();
  }
  return std::move(*result);
}

void must(Status status) {
  if (!status) {
    std::fprintf(stderr, "state_bench: %s\n", status.error().display().c_str());
    std::abort();
  }
}

// Sparse at (15, 20) with `count` values added; the last values may still
// sit in the buffer.
HyperLogLogPlusPlus sketch_with(int count) {
  HyperLogLogPlusPlus sketch = must(HyperLogLogPlusPlus::new_long(15, 20));
  for (int i = 0; i < count; ++i) must(sketch.add_long(static_cast<std::int64_t>(i) * 7919 + 11));
  return sketch;
}

// Enough values to convert to the normal representation.
HyperLogLogPlusPlus normal_sketch() {
  HyperLogLogPlusPlus sketch = sketch_with(200000);
  if (sketch.representation().normal() == nullptr) {
    std::fprintf(stderr, "state_bench: expected a normal sketch\n");
    std::abort();
  }
  return sketch;
}

// Sparse and loaded from bytes: the buffer is empty.
HyperLogLogPlusPlus loaded_sparse_sketch() {
  const Bytes bytes = must(sketch_with(1000).to_bytes());
  HyperLogLogPlusPlus sketch = must(HyperLogLogPlusPlus::from_bytes(bytes));
  if (sketch.representation().sparse() == nullptr) {
    std::fprintf(stderr, "state_bench: expected a sparse sketch\n");
    std::abort();
  }
  return sketch;
}

void report_size(benchmark::State& state, const Bytes& bytes) {
  state.counters["bytes"] = static_cast<double>(bytes.size());
}

void BM_ToBytes_Normal15(benchmark::State& state) {
  const HyperLogLogPlusPlus sketch = normal_sketch();
  for (auto _ : state) {
    Result<Bytes> bytes = sketch.to_bytes();
    benchmark::DoNotOptimize(bytes);
  }
  report_size(state, must(sketch.to_bytes()));
}
BENCHMARK(BM_ToBytes_Normal15);

void BM_FromBytes_Normal15(benchmark::State& state) {
  const Bytes bytes = must(normal_sketch().to_bytes());
  for (auto _ : state) {
    Result<HyperLogLogPlusPlus> sketch = HyperLogLogPlusPlus::from_bytes(bytes);
    benchmark::DoNotOptimize(sketch);
  }
  report_size(state, bytes);
}
BENCHMARK(BM_FromBytes_Normal15);

// The buffer of new values is compacted into a copy on every call.
void BM_ToBytes_Sparse1000_Buffered(benchmark::State& state) {
  const HyperLogLogPlusPlus sketch = sketch_with(1000);
  for (auto _ : state) {
    Result<Bytes> bytes = sketch.to_bytes();
    benchmark::DoNotOptimize(bytes);
  }
  report_size(state, must(sketch.to_bytes()));
}
BENCHMARK(BM_ToBytes_Sparse1000_Buffered);

void BM_ToBytes_Sparse1000_Loaded(benchmark::State& state) {
  const HyperLogLogPlusPlus sketch = loaded_sparse_sketch();
  for (auto _ : state) {
    Result<Bytes> bytes = sketch.to_bytes();
    benchmark::DoNotOptimize(bytes);
  }
  report_size(state, must(sketch.to_bytes()));
}
BENCHMARK(BM_ToBytes_Sparse1000_Loaded);

void BM_FromBytes_Sparse1000(benchmark::State& state) {
  const Bytes bytes = must(sketch_with(1000).to_bytes());
  for (auto _ : state) {
    Result<HyperLogLogPlusPlus> sketch = HyperLogLogPlusPlus::from_bytes(bytes);
    benchmark::DoNotOptimize(sketch);
  }
  report_size(state, bytes);
}
BENCHMARK(BM_FromBytes_Sparse1000);

void BM_EncodeState_Normal15(benchmark::State& state) {
  const SketchState record = normal_sketch().representation().normal()->state();
  for (auto _ : state) {
    Result<Bytes> bytes = encode_state(record);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_EncodeState_Normal15);

void BM_DecodeState_Normal15(benchmark::State& state) {
  const Bytes bytes = must(normal_sketch().to_bytes());
  for (auto _ : state) {
    Result<SketchState> record = decode_state(bytes);
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(BM_DecodeState_Normal15);

void BM_DecodeState_Sparse1000(benchmark::State& state) {
  const Bytes bytes = must(sketch_with(1000).to_bytes());
  for (auto _ : state) {
    Result<SketchState> record = decode_state(bytes);
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(BM_DecodeState_Sparse1000);

// The content rules alone, over the 1,000 stored values.
void BM_CheckSparseData_Sparse1000(benchmark::State& state) {
  const SketchState record = must(decode_state(must(sketch_with(1000).to_bytes())));
  const SparseEncoding encoding = must(SparseEncoding::create(record.precision, record.sparse_precision));
  for (auto _ : state) {
    Status status = check_sparse_data(*record.sparse_data, encoding);
    benchmark::DoNotOptimize(status);
  }
  state.counters["values"] = 1000;
  state.counters["bytes"] = static_cast<double>(record.sparse_data->size());
}
BENCHMARK(BM_CheckSparseData_Sparse1000);

// Decoding plus every check, as the validating load runs it.
void BM_ValidateBytes_Sparse1000(benchmark::State& state) {
  const Bytes bytes = must(sketch_with(1000).to_bytes());
  for (auto _ : state) {
    Status status = validate_bytes(bytes);
    benchmark::DoNotOptimize(status);
  }
  report_size(state, bytes);
}
BENCHMARK(BM_ValidateBytes_Sparse1000);

}  // namespace
}  // namespace vantorelle
