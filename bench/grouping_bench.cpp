// Grouping alone: the engine's group numbers for 2,000,000 rows on 2
// threads, by an int64 key (the group's number, or that number times an odd
// constant: keys spread over 64 bits, as ids often are) and by a text key
// ("country-<n>"), at 14, 10,000 and 200,000 groups of uneven sizes (the rows of bench/groups_bench.py:
// every group once, the rest Zipf(1.2) modulo the group count, shuffled).
// sketch_by's time is this plus the values' coding and the sketches'
// writing, which do not depend on the key's type: here the text key's
// extra cost shows on its own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/arrow_abi.h"
#include "engine/column_chunks.h"
#include "engine/group_keys.h"

namespace vantorelle::engine {
namespace {

constexpr std::int64_t kRows = 2'000'000;
constexpr int kThreads = 2;

std::vector<std::int64_t> group_numbers(std::int64_t groups) {
  std::mt19937_64 random(1);
  // Zipf(1.2) by its distribution function over 1 .. 2^22 (the tail beyond
  // holds under 4 % of the mass, and only spreads the groups further).
  std::vector<double> cdf(std::size_t{1} << 22);
  double sum = 0;
  for (std::size_t k = 0; k < cdf.size(); ++k) cdf[k] = sum += std::pow(static_cast<double>(k + 1), -1.2);
  std::uniform_real_distribution<double> uniform(0, sum);
  std::vector<std::int64_t> numbers(static_cast<std::size_t>(kRows));
  for (std::int64_t i = 0; i < kRows; ++i) {
    if (i < groups) {
      numbers[static_cast<std::size_t>(i)] = i;
      continue;
    }
    const auto k = static_cast<std::int64_t>(std::lower_bound(cdf.begin(), cdf.end(), uniform(random)) - cdf.begin());
    numbers[static_cast<std::size_t>(i)] = (k + 1) % groups;
  }
  std::shuffle(numbers.begin(), numbers.end(), random);
  return numbers;
}

// One chunk of one key column, and the buffers it points at.
class Column {
 public:
  enum class Key { Int, SpreadInt, Text };

  Column(const std::vector<std::int64_t>& numbers, Key kind) {
    const bool text = kind == Key::Text;
    if (kind == Key::SpreadInt) {
      spread_.reserve(numbers.size());
      for (const std::int64_t number : numbers) {
        spread_.push_back(static_cast<std::int64_t>(static_cast<std::uint64_t>(number) * 0x9E3779B97F4A7C15ull));
      }
    }
    if (text) {
      offsets_.push_back(0);
      for (const std::int64_t number : numbers) {
        char key[32];
        const int size = std::snprintf(key, sizeof key, "country-%lld", static_cast<long long>(number));
        data_.insert(data_.end(), key, key + size);
        offsets_.push_back(static_cast<std::int32_t>(data_.size()));
      }
      buffers_[1] = offsets_.data();
      buffers_[2] = data_.data();
    } else {
      buffers_[1] = kind == Key::SpreadInt ? spread_.data() : numbers.data();
    }
    schema_.format = text ? "u" : "l";
    array_.length = static_cast<std::int64_t>(numbers.size());
    array_.n_buffers = text ? 3 : 2;
    array_.buffers = buffers_;
    chunks_.schema = &schema_;
    chunks_.add(array_);
  }
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;

  const ColumnChunks& chunks() const { return chunks_; }

 private:
  std::vector<std::int64_t> spread_;
  std::vector<std::int32_t> offsets_;
  std::vector<std::uint8_t> data_;
  const void* buffers_[3] = {};
  ArrowSchema schema_{};
  ArrowArray array_{};
  ColumnChunks chunks_;
};

void group(benchmark::State& state, Column::Key kind) {
  const std::vector<std::int64_t> numbers = group_numbers(state.range(0));
  const Column column(numbers, kind);
  const std::vector<ColumnChunks> keys{column.chunks()};
  Result<std::vector<KeyFormat>> formats = check_key_columns(keys);
  if (!formats) {
    std::fprintf(stderr, "grouping_bench: %s\n", formats.error().display().c_str());
    std::abort();
  }
  for (auto _ : state) {
    Result<Grouping> grouping = group_rows(keys, *formats, kRows, kThreads);
    if (!grouping || grouping->groups() != static_cast<std::size_t>(state.range(0))) std::abort();
    benchmark::DoNotOptimize(grouping->group_of_row.data());
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

BENCHMARK_CAPTURE(group, int_key, Column::Key::Int)->Arg(14)->Arg(10'000)->Arg(200'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(group, spread_int_key, Column::Key::SpreadInt)->Arg(14)->Arg(10'000)->Arg(200'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(group, text_key, Column::Key::Text)->Arg(14)->Arg(10'000)->Arg(200'000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vantorelle::engine
