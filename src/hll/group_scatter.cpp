#include "hll/group_scatter.h"

#include <algorithm>

#include "error/internal_failure.h"
#include "utils/parallel.h"

namespace vantorelle {
namespace {

// How many rows ahead a part loads its counters: with many groups they are
// a table larger than the caches.
constexpr std::size_t kAhead = 16;

int parts_for(int threads, std::size_t rows, std::size_t groups) {
  // Each part has counters of its own, a word a group.
  return groups * 4 > rows ? 1 : useful_threads(threads, rows);
}

// One part's counters after it placed its items hold the ends of its
// groups; with one part these are the next group's starts, shifted by one.
template <class Counter>
void ends_to_starts(MappedVector<Counter>& counters) {
  for (std::size_t g = counters.size() - 1; g > 1; --g) counters[g - 1] = counters[g - 2];
  counters[0] = 0;
}

}  // namespace

std::vector<std::size_t> GroupStarts::shares(int parts) const {
  return shares_by_cost(groups(), parts, [this](std::size_t g) { return static_cast<std::uint64_t>(at(g + 1) - at(g)); });
}

GroupScatter::GroupScatter(std::span<const std::uint32_t> groups, std::uint32_t group_count, int threads)
    : GroupScatter(groups, {}, group_count, threads) {}

GroupScatter::GroupScatter(std::span<const std::uint32_t> groups, std::span<const std::uint32_t> items,
                           std::uint32_t group_count, int threads)
    : groups_(groups),
      group_count_(group_count),
      parts_(parts_for(threads, groups.size(), group_count)),
      skip_no_item_(!items.empty()),
      wide_counters_(groups.size() > UINT32_MAX),
      saw_no_item_(static_cast<std::size_t>(parts_), 0) {
  VANTORELLE_ASSERT(items.empty() || items.size() == groups.size(), "items.size() == groups.size()");
  // Groups of fewer than 16 rows on average: these arrays are mapped (and
  // leave the moment they are freed), their pages asked for at once. With
  // fewer groups they come from the C allocator, which keeps freed blocks
  // for the next call. (2,000,000 rows on 2 threads, a call's page faults
  // and system time: 200,000 groups 3,500 -> 2,350 and 11.6 -> 6.8 ms when
  // mapped; 10,000 groups 470 -> 890 and 2.0 -> 3.1 ms.)
  const bool mapped = static_cast<std::size_t>(group_count) * 16 > groups.size();
  narrow_ = MappedVector<std::uint32_t>(MappedAllocator<std::uint32_t>(mapped));
  wide_ = MappedVector<std::int64_t>(MappedAllocator<std::int64_t>(mapped));
  out_.items = MappedVector<std::uint32_t>(MappedAllocator<std::uint32_t>(mapped));
  if (wide_counters_) count(wide_, items);
  else count(narrow_, items);
}

std::pair<std::size_t, std::size_t> GroupScatter::part(int t) const {
  return part_range(groups_.size(), parts_, t);
}

template <class Counter>
void GroupScatter::count(MappedVector<Counter>& next, std::span<const std::uint32_t> items) {
  const std::size_t g_count = group_count_;
  next.assign(static_cast<std::size_t>(parts_) * g_count + (parts_ == 1 ? 1 : 0), 0);
  run_parallel(parts_, [&](int t) {
    const auto [begin, end] = part(t);
    Counter* count = next.data() + static_cast<std::size_t>(t) * g_count;
    const std::uint32_t* group = groups_.data();
    for (std::size_t i = begin; i < end; ++i) {
      VANTORELLE_ASSERT(group[i] < g_count, "group < group_count");
      if (i + kAhead < end && group[i + kAhead] < g_count) __builtin_prefetch(count + group[i + kAhead]);
      if (items.empty()) ++count[group[i]];
      else count[group[i]] += items[i] != kNoItem;
    }
  });
  // Each counter becomes where its part's first item of the group goes:
  // groups in order, and within a group the parts in row order.
  std::int64_t running = 0;
  if (parts_ > 1) starts_.resize(g_count + 1);
  for (std::size_t g = 0; g < g_count; ++g) {
    if (parts_ > 1) starts_[g] = running;
    for (int t = 0; t < parts_; ++t) {
      Counter& slot = next[static_cast<std::size_t>(t) * g_count + g];
      const std::int64_t here = slot;
      slot = static_cast<Counter>(running);
      running += here;
    }
  }
  if (parts_ > 1) starts_[g_count] = running;
  else next[g_count] = static_cast<Counter>(running);
  out_.items.resize(static_cast<std::size_t>(running));
}

template <class Counter, bool kSkip>
void GroupScatter::place_as(Counter* position, std::size_t row, std::size_t count, const std::uint32_t* items,
                            int t) {
  std::uint32_t* out = out_.items.data();
  const std::uint32_t* group = groups_.data();
  const std::size_t ahead_end = groups_.size() - std::min(groups_.size(), 2 * kAhead);
  bool saw_no_item = false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t r = row + i;
    // Two steps ahead: a later row's counter, then (its counter loaded by
    // now) the place its item will go.
    if (r < ahead_end) {
      __builtin_prefetch(position + group[r + 2 * kAhead]);
      __builtin_prefetch(out + position[group[r + kAhead]], 1);
    }
    const std::uint32_t item = items[i];
    if constexpr (kSkip) {
      if (item == kNoItem) continue;
    } else {
      saw_no_item |= item == kNoItem;
    }
    out[position[group[r]]++] = item;
  }
  if (saw_no_item) saw_no_item_[static_cast<std::size_t>(t)] = 1;
}

void GroupScatter::place(int t, std::size_t row, std::size_t count, const std::uint32_t* items) {
  VANTORELLE_ASSERT(row >= part(t).first && row + count <= part(t).second, "rows within the part");
  const std::size_t at = static_cast<std::size_t>(t) * group_count_;
  if (wide_counters_) {
    if (skip_no_item_) place_as<std::int64_t, true>(wide_.data() + at, row, count, items, t);
    else place_as<std::int64_t, false>(wide_.data() + at, row, count, items, t);
  } else {
    if (skip_no_item_) place_as<std::uint32_t, true>(narrow_.data() + at, row, count, items, t);
    else place_as<std::uint32_t, false>(narrow_.data() + at, row, count, items, t);
  }
}

GroupedItems GroupScatter::finish() && {
  for (const char saw : saw_no_item_) out_.holds_no_item |= saw != 0;
  if (parts_ > 1) {
    out_.starts = GroupStarts(std::move(starts_));
    MappedVector<std::uint32_t>().swap(narrow_);
    MappedVector<std::int64_t>().swap(wide_);
  } else if (wide_counters_) {
    ends_to_starts(wide_);
    out_.starts = GroupStarts(std::move(wide_));
  } else {
    ends_to_starts(narrow_);
    out_.starts = GroupStarts(std::move(narrow_));
  }
  return std::move(out_);
}

GroupedItems items_by_group(std::span<const std::uint32_t> groups, std::span<const std::uint32_t> items,
                            std::uint32_t group_count, int threads) {
  GroupScatter scatter(groups, items, group_count, threads);
  run_parallel(scatter.parts(), [&](int t) {
    const auto [begin, end] = scatter.part(t);
    scatter.place(t, begin, end - begin, items.data() + begin);
  });
  return std::move(scatter).finish();
}

}  // namespace vantorelle
