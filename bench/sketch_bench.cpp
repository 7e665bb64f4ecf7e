// Micro-benchmarks of the sketch engine. Targets: adding a hash at (15, 20)
// <= 10 ns amortised while sparse (flushes included) and <= 3 ns once normal;
// the estimate of a normal p = 15 sketch <= 40 us; merging two normal p = 15
// sketches <= 5 us; merging two sparse sketches of 5,000 values <= 100 us.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "hll/hyperloglogplusplus.h"
#include "hll/representation.h"

namespace vantorelle {
namespace {

std::vector<std::uint64_t> random_hashes(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::uint64_t> hashes(count);
  for (std::uint64_t& hash : hashes) hash = random();
  return hashes;
}

SketchState empty_state(std::int32_t precision, std::int32_t sparse_precision) {
  SketchState state;
  state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
  state.encoding_version = 2;
  state.precision = precision;
  state.sparse_precision = sparse_precision;
  return state;
}

Representation fresh(std::int32_t precision, std::int32_t sparse_precision) {
  return std::move(*Representation::from_state(empty_state(precision, sparse_precision)));
}

// Fills a fresh (15, 20) sketch with as many hashes as keep it sparse; the
// buffer flushes once on the way.
void BM_AddHashSparse(benchmark::State& state) {
  const std::vector<std::uint64_t> hashes = random_hashes(12000, 1);
  for (auto _ : state) {
    Representation representation = fresh(15, 20);
    for (std::uint64_t hash : hashes) benchmark::DoNotOptimize(representation.add_hash(hash));
    if (!representation.sparse()) state.SkipWithError("converted to normal");
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(hashes.size()));
}
BENCHMARK(BM_AddHashSparse);

void BM_AddHashNormal(benchmark::State& state) {
  const std::vector<std::uint64_t> hashes = random_hashes(1 << 16, 2);
  Representation representation = fresh(15, 0);
  for (auto _ : state) {
    for (std::uint64_t hash : hashes) benchmark::DoNotOptimize(representation.add_hash(hash));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(hashes.size()));
}
BENCHMARK(BM_AddHashNormal);

Representation normal_with(std::size_t values, std::uint64_t seed) {
  Representation representation = fresh(15, 20);
  for (std::uint64_t hash : random_hashes(values, seed)) (void)representation.add_hash(hash);
  return representation;
}

void BM_EstimateNormal(benchmark::State& state) {
  const Representation representation = normal_with(100000, 3);
  for (auto _ : state) benchmark::DoNotOptimize(representation.estimate());
}
BENCHMARK(BM_EstimateNormal)->Unit(benchmark::kMicrosecond);

// What HyperLogLogPlusPlus::merge does with a normal sketch: copy the
// receiving representation, fold the other in.
void BM_MergeNormal(benchmark::State& state) {
  const Representation self = normal_with(100000, 4);
  const Representation other = normal_with(100000, 5);
  for (auto _ : state) {
    Result<Representation> merged = Representation::merge(self, other);
    benchmark::DoNotOptimize(merged);
  }
}
BENCHMARK(BM_MergeNormal)->Unit(benchmark::kMicrosecond);

Representation sparse_with(std::size_t values, std::uint64_t seed) {
  Representation representation = fresh(15, 20);
  for (std::uint64_t hash : random_hashes(values, seed)) (void)representation.add_hash(hash);
  (void)representation.compact();
  return representation;
}

void BM_MergeSparse(benchmark::State& state) {
  const Representation self = sparse_with(5000, 6);
  const Representation other = sparse_with(5000, 7);
  for (auto _ : state) {
    Result<Representation> merged = Representation::merge(self, other);
    if (!merged || !merged->sparse()) state.SkipWithError("not sparse");
    benchmark::DoNotOptimize(merged);
  }
}
BENCHMARK(BM_MergeSparse)->Unit(benchmark::kMicrosecond);

// The same sketches with their values still in the buffer.
void BM_MergeSparseBuffered(benchmark::State& state) {
  Representation self = fresh(15, 20);
  Representation other = fresh(15, 20);
  for (std::uint64_t hash : random_hashes(5000, 6)) (void)self.add_hash(hash);
  for (std::uint64_t hash : random_hashes(5000, 7)) (void)other.add_hash(hash);
  for (auto _ : state) {
    Result<Representation> merged = Representation::merge(self, other);
    benchmark::DoNotOptimize(merged);
  }
}
BENCHMARK(BM_MergeSparseBuffered)->Unit(benchmark::kMicrosecond);

void BM_AggregatorAddLong(benchmark::State& state) {
  HyperLogLogPlusPlus sketch = std::move(*HyperLogLogPlusPlus::new_long(15, 20));
  std::int64_t value = 0;
  for (auto _ : state) benchmark::DoNotOptimize(sketch.add_long(value++));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AggregatorAddLong);

}  // namespace
}  // namespace vantorelle
