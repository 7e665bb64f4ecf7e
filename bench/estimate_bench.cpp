// Estimate speed of a normal sketch at precision 15 (32 KiB of registers):
// estimate_registers on register states drawn at several loads, from the
// linear-counting range to a billion values, and result() of a sketch built
// from values.
//
// Target: result() of a normal p = 15 sketch at least 6x faster than the
// 13-14 us it took when the estimate walked a full histogram of the registers.
// Columns of small sparse sketches are timed at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "hll/estimate.h"
#include "hll/sketch_estimates.h"
#include "hll/hyperloglogplusplus.h"
#include "state/state_message.h"
#include "state/state_validation.h"

namespace vantorelle {
namespace {

// 2^p registers as `n` uniformly hashed values leave them: a register is at
// most k with probability exp(-(n / 2^p) 2^-k), capped at 65 - p.
Bytes registers_at(std::int32_t p, double n, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const double load = n / std::ldexp(1.0, p);
  Bytes registers(std::size_t{1} << p);
  for (auto& r : registers) {
    const double u = uniform(random);
    const double k = std::ceil(std::log2(load / -std::log(u)));
    r = static_cast<std::uint8_t>(std::clamp(k, 0.0, static_cast<double>(65 - p)));
  }
  return registers;
}

void BM_EstimateRegisters(benchmark::State& state) {
  const Bytes registers = registers_at(15, static_cast<double>(state.range(0)), 15);
  for (auto _ : state) {
    benchmark::DoNotOptimize(estimate_registers(registers, 15));
  }
}
BENCHMARK(BM_EstimateRegisters)
    ->Arg(20000)         // linear counting
    ->Arg(100000)        // just above the switch
    ->Arg(1000000)
    ->Arg(1000000000);

void BM_ResultNormal(benchmark::State& state) {
  Result<HyperLogLogPlusPlus> made = HyperLogLogPlusPlus::new_long(15, 20);
  if (!made) std::abort();
  HyperLogLogPlusPlus sketch = std::move(*made);
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    if (!sketch.add_long(i * 7919 + 11)) std::abort();
  }
  if (sketch.representation().normal() == nullptr) {
    std::fprintf(stderr, "estimate_bench: expected a normal sketch\n");
    std::abort();
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(sketch.result());
  }
}
BENCHMARK(BM_ResultNormal)->Arg(200000)->Arg(2000000);

// What `vantorelle._native.estimates` does for each row: a serialised normal
// sketch decoded, checked as `vantorelle.validate` checks it, estimated.
Bytes serialised_normal(std::int64_t values) {
  Result<HyperLogLogPlusPlus> made = HyperLogLogPlusPlus::new_long(15, 20);
  if (!made) std::abort();
  for (std::int64_t i = 0; i < values; ++i) {
    if (!made->add_long(i * 7919 + 11)) std::abort();
  }
  Result<Bytes> bytes = made->to_bytes();
  if (!bytes) std::abort();
  return std::move(*bytes);
}

// The registers read in place, their check's summary shared with the
// estimate.
void BM_EstimateSerialised(benchmark::State& state) {
  const Bytes message = serialised_normal(state.range(0));
  for (auto _ : state) {
    Result<SketchStateView> view = decode_state_view(message);
    Result<RegisterSums> sums = validate_normal_view(*view);
    benchmark::DoNotOptimize(estimate_registers(*view->data, view->scalars.precision, *sums));
  }
}
BENCHMARK(BM_EstimateSerialised)->Arg(200000)->Arg(2000000);

// The registers copied out of the message, checked, then summarised again by
// the estimate: how rows were estimated before.
void BM_EstimateSerialisedCopied(benchmark::State& state) {
  const Bytes message = serialised_normal(state.range(0));
  for (auto _ : state) {
    Result<SketchState> decoded = decode_state(message);
    if (!validate_state(*decoded)) std::abort();
    benchmark::DoNotOptimize(estimate_registers(*decoded->data, decoded->precision));
  }
}
BENCHMARK(BM_EstimateSerialisedCopied)->Arg(200000)->Arg(2000000);

// Columns of small sparse sketches (as sketch_by gives at many groups): each
// row decoded, checked and estimated as `vantorelle.estimates` does, against
// the path it replaced (a state copied, validated, built into a sketch).
// Target: at least 5x faster.
std::vector<Bytes> serialised_sparse_column(std::int64_t values) {
  std::vector<Bytes> column;
  std::mt19937_64 random(5);
  for (int row = 0; row < 4096; ++row) {
    Result<HyperLogLogPlusPlus> made = HyperLogLogPlusPlus::new_long(15, 20);
    if (!made) std::abort();
    for (std::int64_t i = 0; i < values; ++i) {
      if (!made->add_long(static_cast<std::int64_t>(random()))) std::abort();
    }
    Result<Bytes> bytes = made->to_bytes();
    if (!bytes) std::abort();
    column.push_back(std::move(*bytes));
  }
  return column;
}

void BM_EstimateSparseColumn(benchmark::State& state) {
  const std::vector<Bytes> column = serialised_sparse_column(state.range(0));
  for (auto _ : state) {
    ViewEstimator estimator;
    SketchStateView view;
    for (const Bytes& message : column) {
      Result<ViewEstimator::Estimate> estimate =
          estimator.estimate_message(message, view, EstimateMethod::Default, std::nullopt);
      benchmark::DoNotOptimize(estimate->estimate);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(column.size()));
}
BENCHMARK(BM_EstimateSparseColumn)->Arg(10)->Arg(300);

void BM_EstimateSparseColumnBuilt(benchmark::State& state) {
  const std::vector<Bytes> column = serialised_sparse_column(state.range(0));
  for (auto _ : state) {
    for (const Bytes& message : column) {
      Result<SketchStateView> view = decode_state_view(message);
      SketchState copied = copy_state(*view);
      if (!validate_state(copied)) std::abort();
      Result<HyperLogLogPlusPlus> sketch = HyperLogLogPlusPlus::from_state(std::move(copied));
      benchmark::DoNotOptimize(*sketch->result());
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(column.size()));
}
BENCHMARK(BM_EstimateSparseColumnBuilt)->Arg(10)->Arg(300);

}  // namespace
}  // namespace vantorelle
