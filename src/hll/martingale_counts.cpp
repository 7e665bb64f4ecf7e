#include "hll/martingale_counts.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "hll/ertl_estimators.h"
#include "utils/parallel.h"

namespace vantorelle {

namespace {

// H_M - H_{M-K}, the harmonic numbers' difference, and sum_{j=M-K+1..M} 1/j^2,
// by their asymptotic series while M - K >= 32 and by direct sums below.
constexpr double kSeriesFrom = 32.0;

double harmonic_tail(double x) {  // H_x - ln x - gamma, x >= kSeriesFrom
  const double r = 1.0 / (x * x);
  return 0.5 / x - r * (1.0 / 12.0 - r * (1.0 / 120.0 - r / 252.0));
}
double trigamma(double x) {  // psi_1(x), x >= kSeriesFrom
  const double r = 1.0 / (x * x);
  return 1.0 / x + 0.5 * r + r / x * (1.0 / 6.0 - r * (1.0 / 30.0 - r / 42.0));
}

struct Sums {
  double harmonic = 0.0;  // sum of 1/j
  double squares = 0.0;   // sum of 1/j^2
};
Sums sums_down_to(double cells, double occupied) {
  const double low = cells - occupied;  // the sums run over j = low + 1 .. cells
  Sums out;
  double series_low = low;
  if (low < kSeriesFrom) {
    for (double j = low + 1.0; j <= std::min(kSeriesFrom, cells); ++j) {
      out.harmonic += 1.0 / j;
      out.squares += 1.0 / (j * j);
    }
    series_low = kSeriesFrom;
  }
  if (series_low < cells) {
    out.harmonic += -std::log1p(-(cells - series_low) / cells) + harmonic_tail(cells) - harmonic_tail(series_low);
    out.squares += trigamma(series_low + 1.0) - trigamma(cells + 1.0);
  }
  return out;
}

// The martingale of the cells alone after K of M are occupied: each new
// occupied cell k = 0 .. K - 1 added M / (M - k), with step variance
// M k / (M - k)^2; the sums depend on K only.
MartingaleCount cells_count(double cells, std::uint64_t occupied) {
  const Sums sums = sums_down_to(cells, static_cast<double>(occupied));
  MartingaleCount out;
  out.estimate = cells * sums.harmonic;
  out.variance = std::max(0.0, cells * cells * sums.squares - cells * sums.harmonic);
  out.occupied = occupied;
  return out;
}

// E[2^-R] of a register under the Poisson model at rate lambda (a register
// at its top value q + 1 counts 0): the registers' expected chance of change.
double expected_register_chance(double lambda, std::int32_t q) {
  double chance = std::exp(-lambda);
  for (std::int32_t k = 1; k <= q; ++k) {
    chance += std::ldexp(std::exp(-lambda * std::ldexp(1.0, -k)) - std::exp(-lambda * std::ldexp(1.0, 1 - k)), -k);
  }
  return chance;
}

}  // namespace

// One thread's cells and registers, cleared after each group: by the codes
// the group touched while they are few, by a full clear otherwise.
//
// The cells count while (M - K) / M is at least the registers' chance of
// change. That chance is taken as its expectation at the count so far, so
// the switch happens at a fixed K (a predictable choice, as the martingale
// needs) and, until then, only the cells are kept; at the switch the
// registers are built from the values seen so far.
class MartingaleCounter::Scratch {
 public:
  explicit Scratch(const MartingaleCounter& counter)
      : encoding_(counter.encoding_),
        with_cells_(counter.with_cells_),
        switch_at_(counter.switch_at_),
        cells_(with_cells_ ? (std::size_t{1} << encoding_.sparse_precision()) / 64 + 1 : 0, 0),
        registers_(std::size_t{1} << encoding_.normal_precision(), 0) {
    const std::int32_t p = encoding_.normal_precision();
    for (std::int32_t r = 0; r < 66; ++r) term_[r] = r >= 65 - p ? 0.0 : std::ldexp(1.0, -r);
  }

  MartingaleCount run(std::span<const std::uint32_t> codes) {
    std::size_t i = 0;
    std::uint64_t occupied = 0;
    if (with_cells_) {
      for (; i < codes.size() && occupied < switch_at_; ++i) {
        const std::uint32_t code = codes[i];
        if (code == kNoValue) continue;
        const std::uint32_t cell = encoding_.decode_sparse(code).sparse_index;
        std::uint64_t& word = cells_[cell >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (cell & 63u);
        occupied += (word & bit) == 0;
        word |= bit;
      }
      clear_cells(codes.first(i));
    }
    MartingaleCount out =
        with_cells_ ? cells_count(std::ldexp(1.0, encoding_.sparse_precision()), occupied) : MartingaleCount{};
    if (with_cells_ && occupied < switch_at_) return out;
    out.cells_only = false;
    count_registers(codes, i, out);
    return out;
  }

 private:
  // The registers' martingale from codes[from] on, the registers first
  // holding codes[0 .. from).
  void count_registers(std::span<const std::uint32_t> codes, std::size_t from, MartingaleCount& out) {
    const double m = static_cast<double>(registers_.size());
    double register_sum = m;  // sum of 2^-r over the registers
    std::uint64_t occupied = 0;
    auto raise = [&](std::uint32_t code) {
      const NormalCoordinates reg = encoding_.decode_normal(code);
      std::uint8_t& held = registers_[reg.index];
      if (reg.rho_w <= held) return false;
      occupied += held == 0;
      register_sum += term_[reg.rho_w] - term_[held];
      held = static_cast<std::uint8_t>(reg.rho_w);
      return true;
    };
    for (std::size_t i = 0; i < from; ++i) {
      if (codes[i] != kNoValue) raise(codes[i]);
    }
    for (std::size_t i = from; i < codes.size(); ++i) {
      if (codes[i] == kNoValue) continue;
      const double q = register_sum / m;  // before the value
      if (!raise(codes[i])) continue;
      out.estimate += 1.0 / q;
      out.variance += (1.0 - q) / (q * q);
    }
    out.occupied = std::max(out.occupied, occupied);
    if (codes.size() < registers_.size() / 16) {
      for (const std::uint32_t code : codes) {
        if (code != kNoValue) registers_[encoding_.decode_normal(code).index] = 0;
      }
    } else {
      std::fill(registers_.begin(), registers_.end(), 0);
    }
  }

  void clear_cells(std::span<const std::uint32_t> codes) {
    if (codes.size() >= cells_.size() / 4) {
      std::fill(cells_.begin(), cells_.end(), 0);
      return;
    }
    for (const std::uint32_t code : codes) {
      if (code != kNoValue) cells_[encoding_.decode_sparse(code).sparse_index >> 6] = 0;
    }
  }

  const SparseEncoding& encoding_;
  bool with_cells_;
  std::uint64_t switch_at_;
  std::vector<std::uint64_t> cells_;
  std::vector<std::uint8_t> registers_;
  double term_[66];
};

Result<MartingaleCounter> MartingaleCounter::create(std::int32_t normal_precision,
                                                    std::int32_t sparse_precision) {
  VANTORELLE_RETURN_IF_ERROR(check_normal_precision(normal_precision));
  const bool with_cells = sparse_precision != 0;
  if (with_cells) VANTORELLE_RETURN_IF_ERROR(check_sparse_precision(normal_precision, sparse_precision));
  Result<SparseEncoding> encoding =
      SparseEncoding::create(normal_precision, with_cells ? sparse_precision : normal_precision);
  if (!encoding) return encoding.take_error();
  MartingaleCounter counter(*encoding, with_cells);
  if (with_cells) {
    // The first K at which the cells' chance falls below the registers'
    // expected one; the comparison changes sign once.
    const double cells = std::ldexp(1.0, sparse_precision);
    const double m = std::ldexp(1.0, normal_precision);
    auto cells_lead = [&](std::uint64_t occupied) {
      const double lambda = cells_count(cells, occupied).estimate / m;
      return (cells - static_cast<double>(occupied)) / cells >=
             expected_register_chance(lambda, 64 - normal_precision);
    };
    std::uint64_t low = 0;  // cells lead
    auto high = static_cast<std::uint64_t>(cells);  // they do not (every cell occupied)
    while (high - low > 1) {
      const std::uint64_t mid = low + (high - low) / 2;
      (cells_lead(mid) ? low : high) = mid;
    }
    counter.switch_at_ = high;
  }
  return counter;
}

MartingaleCount MartingaleCounter::count_one(std::span<const std::uint32_t> codes) const {
  Scratch scratch(*this);
  return scratch.run(codes);
}

std::vector<MartingaleCount> MartingaleCounter::count(std::span<const std::uint32_t> groups,
                                                      std::span<const std::uint32_t> codes,
                                                      std::uint32_t group_count, int threads) const {
  std::vector<MartingaleCount> out(group_count);
  if (group_count == 0) return out;
  if (group_count == 1) {
    out[0] = count_one(codes);
    return out;
  }
  // Each group's codes in row order, end to end (a stable counting sort).
  std::vector<std::size_t> starts(std::size_t{group_count} + 1, 0);
  for (const std::uint32_t g : groups) ++starts[std::size_t{g} + 1];
  for (std::size_t g = 0; g < group_count; ++g) starts[g + 1] += starts[g];
  // Runs of groups of about equal rows, one a thread.
  const int parts = static_cast<int>(std::clamp<std::size_t>(
      std::min<std::size_t>(group_count, codes.size() / 4096 + 1), 1, static_cast<std::size_t>(std::max(threads, 1))));
  std::vector<std::uint32_t> first_group(static_cast<std::size_t>(parts) + 1, group_count);
  first_group[0] = 0;
  for (int t = 1; t < parts; ++t) {
    const std::size_t target = codes.size() * static_cast<std::size_t>(t) / static_cast<std::size_t>(parts);
    const auto at = std::lower_bound(starts.begin(), starts.end() - 1, target);
    first_group[static_cast<std::size_t>(t)] =
        std::max(first_group[static_cast<std::size_t>(t) - 1], static_cast<std::uint32_t>(at - starts.begin()));
  }
  std::vector<std::uint32_t> ordered(codes.size());
  run_parallel(parts, [&](int t) {
    const std::uint32_t begin = first_group[static_cast<std::size_t>(t)];
    const std::uint32_t end = first_group[static_cast<std::size_t>(t) + 1];
    // Each thread places the codes of its own groups: the sort runs on
    // every thread, each writing only its part of `ordered`.
    std::vector<std::size_t> next(starts.begin() + begin, starts.begin() + end);
    if (parts == 1) {
      for (std::size_t row = 0; row < codes.size(); ++row) ordered[next[groups[row]]++] = codes[row];
    } else {
      for (std::size_t row = 0; row < codes.size(); ++row) {
        const std::uint32_t g = groups[row];
        if (g >= begin && g < end) ordered[next[g - begin]++] = codes[row];
      }
    }
    Scratch scratch(*this);
    for (std::uint32_t g = begin; g < end; ++g) {
      out[g] = scratch.run(std::span<const std::uint32_t>(ordered.data() + starts[g], starts[g + 1] - starts[g]));
    }
  });
  return out;
}

CountBounds martingale_bounds(const MartingaleCount& count, std::int32_t sparse_precision, double confidence) {
  const double occupied = static_cast<double>(count.occupied);
  if (count.cells_only && sparse_precision != 0) {
    const CountInterval interval = occupancy_interval(std::ldexp(1.0, sparse_precision), occupied, confidence);
    return {interval.lower, interval.upper};
  }
  const double spread = normal_quantile(confidence) * std::sqrt(count.variance);
  return {std::max(occupied, count.estimate - spread), count.estimate + spread};
}

}  // namespace vantorelle
