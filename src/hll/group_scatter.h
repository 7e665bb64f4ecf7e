// Items of a table's rows (value codes, row numbers) brought together by
// group: a stable counting sort over the rows' group numbers.
//
//   groups  0 2 0 1 2      counted per group   starts  0 2 3 5
//   items   a b c d e      then placed     ->  items   a c d b e
//                                                      |g0 |g1|g2 |
//
// The rows are split into parts, each counted and placed by one thread
// with counters of its own; the parts are laid out in row order, so the
// result does not depend on the number of threads. The items can come a
// block of rows at a time as they are made (place()), so a caller never
// needs them all in row order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "utils/mapped_allocator.h"

namespace vantorelle {

// Shares of groups of about equal work, whole groups each: the first group
// of each of `parts` shares, and the group count at the end. cost(g) is
// group g's work in any unit.
template <class Cost>
std::vector<std::size_t> shares_by_cost(std::size_t group_count, int parts, Cost&& cost) {
  std::vector<std::size_t> first(static_cast<std::size_t>(parts) + 1, group_count);
  first[0] = 0;
  if (parts == 1) return first;
  std::uint64_t total = 0;
  for (std::size_t g = 0; g < group_count; ++g) total += cost(g);
  std::uint64_t done = 0;
  std::size_t t = 1;
  for (std::size_t g = 0; g < group_count && t < first.size() - 1; ++g) {
    // Group g starts share t once the groups before it did t shares' work.
    while (t < first.size() - 1 && done * static_cast<std::uint64_t>(parts) >= t * total) first[t++] = g;
    done += cost(g);
  }
  return first;
}

// Where each group's items start: group g's are [at(g), at(g + 1)). 32-bit
// offsets while the rows fit them.
class GroupStarts {
 public:
  GroupStarts() = default;
  explicit GroupStarts(MappedVector<std::uint32_t> narrow) : narrow_(std::move(narrow)) {}
  explicit GroupStarts(MappedVector<std::int64_t> wide) : wide_(std::move(wide)) {}

  std::int64_t at(std::size_t g) const { return wide_.empty() ? narrow_[g] : wide_[g]; }
  std::int64_t back() const { return at(groups()); }
  std::size_t groups() const { return (wide_.empty() ? narrow_.size() : wide_.size()) - 1; }
  // Row shares of about equal size, whole groups each (shares_by_cost).
  std::vector<std::size_t> shares(int parts) const;

 private:
  MappedVector<std::uint32_t> narrow_;
  MappedVector<std::int64_t> wide_;
};

struct GroupedItems {
  MappedVector<std::uint32_t> items;
  GroupStarts starts;
  // Some placed item is kNoItem (only when they were placed with it).
  bool holds_no_item = false;

  std::span<std::uint32_t> of(std::size_t g) {
    return {items.data() + starts.at(g), static_cast<std::size_t>(starts.at(g + 1) - starts.at(g))};
  }
};

class GroupScatter {
 public:
  // The item of a row that has none (a null value).
  static constexpr std::uint32_t kNoItem = UINT32_MAX;

  // Counts every row of each group. Up to `threads` parts of rows; one part
  // when the groups average fewer than four rows, where per-part counters
  // would outweigh the items.
  GroupScatter(std::span<const std::uint32_t> groups, std::uint32_t group_count, int threads);
  // Counts only the rows whose item is not kNoItem; place() then leaves
  // those out.
  GroupScatter(std::span<const std::uint32_t> groups, std::span<const std::uint32_t> items,
               std::uint32_t group_count, int threads);

  int parts() const { return parts_; }
  // The rows of part t: [first, end).
  std::pair<std::size_t, std::size_t> part(int t) const;

  // Places the items of rows [row, row + count), all of part t, given in
  // row order within the part. Parts run on their own threads.
  void place(int t, std::size_t row, std::size_t count, const std::uint32_t* items);

  // Once every row is placed: the items by group. The counters become the
  // starts when there is one part.
  GroupedItems finish() &&;

 private:
  template <class Counter>
  void count(MappedVector<Counter>& next, std::span<const std::uint32_t> items);
  template <class Counter, bool kSkip>
  void place_as(Counter* position, std::size_t row, std::size_t count, const std::uint32_t* items, int t);

  std::span<const std::uint32_t> groups_;
  std::size_t group_count_;
  int parts_ = 1;
  bool skip_no_item_ = false;
  bool wide_counters_ = false;
  // Per part, per group: where its next item goes (parts_ * group_count_,
  // plus one when there is one part). 32-bit while the rows fit.
  MappedVector<std::uint32_t> narrow_;
  MappedVector<std::int64_t> wide_;
  MappedVector<std::int64_t> starts_;  // with more than one part
  GroupedItems out_;
  std::vector<char> saw_no_item_;  // per part
};

// The items of rows in memory by group, rows whose item is kNoItem left
// out.
GroupedItems items_by_group(std::span<const std::uint32_t> groups, std::span<const std::uint32_t> items,
                            std::uint32_t group_count, int threads);

}  // namespace vantorelle
