// Throughput of fingerprint2011 for the input sizes that matter: 8 bytes
// (every added integer), a short string, and a 1 KiB byte string.
#include "fingerprint2011/fingerprint2011.h"
#include "fingerprint2011/fingerprint2011_words.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

void BM_Fingerprint2011(benchmark::State& state) {
  const std::size_t length = static_cast<std::size_t>(state.range(0));
  // Several distinct inputs in rotation, so that the loop does not hash one
  // constant; the working set stays in L1.
  constexpr std::size_t INPUTS = 64;
  std::vector<std::uint8_t> buffer(INPUTS * length + 1);
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    buffer[i] = static_cast<std::uint8_t>(i * 131 + 7);
  }
  std::size_t next = 0;
  for (auto _ : state) {
    const std::uint8_t* input = buffer.data() + next * length;
    benchmark::DoNotOptimize(input);
    benchmark::DoNotOptimize(vantorelle::fingerprint2011(input, length));
    next = (next + 1) % INPUTS;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(length));
}

// Hashes consecutive integers the way the integer aggregator does: the
// value's eight little-endian bytes from a local word.
void BM_Fingerprint2011Integer(benchmark::State& state) {
  std::uint64_t value = 0;
  for (auto _ : state) {
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    benchmark::DoNotOptimize(vantorelle::fingerprint2011(bytes, sizeof bytes));
    ++value;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8);
}

// A column of integers hashed in one loop, as the column and grouped adds
// hash them: through the out-of-line function of any length (Arg 0) and
// through the inline word form (Arg 1), whose rows' multiplications overlap,
// and through the batch form (Arg 2), eight words a step where it can.
void BM_Fingerprint2011IntegerColumn(benchmark::State& state) {
  const auto form = state.range(0);
  std::vector<std::uint64_t> values(4096);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = i * 0x9E3779B97F4A7C15ull;
  std::vector<std::uint64_t> hashes(values.size());
  for (auto _ : state) {
    if (form == 2) {
      vantorelle::fingerprint2011_words(values.data(), values.size(), hashes.data());
    } else if (form == 1) {
      for (std::size_t i = 0; i < values.size(); ++i) hashes[i] = vantorelle::fingerprint2011_word(values[i]);
    } else {
      for (std::size_t i = 0; i < values.size(); ++i) {
        hashes[i] = vantorelle::fingerprint2011(reinterpret_cast<const std::uint8_t*>(&values[i]), 8);
      }
    }
    benchmark::DoNotOptimize(hashes.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}

}  // namespace

BENCHMARK(BM_Fingerprint2011)->Arg(8)->Arg(20)->Arg(1024);
BENCHMARK(BM_Fingerprint2011Integer);
BENCHMARK(BM_Fingerprint2011IntegerColumn)->Arg(0)->Arg(1)->Arg(2);
