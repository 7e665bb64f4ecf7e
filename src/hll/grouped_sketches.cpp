#include "hll/grouped_sketches.h"

#include <algorithm>
#include <bit>
#include <random>
#include <cstring>
#include <utility>

#include "error/internal_failure.h"
#include "hll/code_sort.h"
#include "hll/group_scatter.h"
#include "hll/representation.h"
#include "hll/sparse_length_bound.h"
#include "hll/sparse_representation.h"
#include "hll/sparse_roll_up.h"
#include "state/sparse_layout.h"
#include "state/state_message.h"
#include "utils/buffer_traits.h"
#include "utils/page_release.h"
#include "utils/parallel.h"

namespace vantorelle {
namespace {

// Below this many stored sketches a second merging thread costs more than
// it saves.
constexpr std::size_t kSketchesPerThread = 1 << 10;
// Groups ahead of the one merged whose stored sketches are fetched.
constexpr std::size_t kGroupsAhead = 8;

// A share of the groups written on one thread: its groups' sketches end
// to end (each group's end in `data` goes to the shared offsets, at the
// group's own index), and whether each group is present.
struct alignas(kThreadOwnAlignment) ShareOutput {
  SketchBytes data{MappedAllocator<std::uint8_t>::written_as_needed()};
  std::vector<std::uint8_t> present;
};

// (resized, then copied: inserted, a vector of another allocator than the
// standard one copies byte by byte)
template <class Out>
void append(Out& out, ByteView bytes) {
  const std::size_t at = out.size();
  out.resize(at + bytes.size());
  if (!bytes.empty()) std::memcpy(out.data() + at, bytes.data(), bytes.size());
}

// Every share's sketches end to end in group order. `first` is each
// share's first group; `offsets` holds each group's end within its share's
// data and becomes the output's offsets.
SerializedSketches join(std::vector<ShareOutput>& shares, const std::vector<std::size_t>& first,
                        std::vector<std::int64_t>& offsets, bool nullable) {
  SerializedSketches joined;
  std::size_t total = 0;
  for (const ShareOutput& share : shares) total += share.data.size();
  // The first share's buffer becomes the output; the others are appended
  // to it (its room was reserved for them, untouched), a piece at a time,
  // each piece's pages handed back once copied: no byte is resident twice
  // beyond a piece.
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  joined.data = std::move(shares[0].data);
  joined.data.reserve(total);
  if (nullable) {
    joined.present = std::move(shares[0].present);
    joined.present.reserve(offsets.size() - 1);
  }
  for (std::size_t t = 1; t < shares.size(); ++t) {
    ShareOutput& share = shares[t];
    const auto base = static_cast<std::int64_t>(joined.data.size());
    std::uint8_t* from = share.data.data();
    for (std::size_t done = 0; done < share.data.size(); done += kPiece) {
      const std::size_t piece = std::min(kPiece, share.data.size() - done);
      append(joined.data, ByteView(from + done, piece));
      release_pages(from + done, piece);
    }
    for (std::size_t g = first[t]; g < first[t + 1]; ++g) offsets[g + 1] += base;
    if (nullable) joined.present.insert(joined.present.end(), share.present.begin(), share.present.end());
    SketchBytes().swap(share.data);
  }
  // A caller may keep the output long after the call: the rest of its
  // reservation goes back, the rest of the huge page its end lies on too.
  const MappedAllocator<std::uint8_t> allocator = joined.data.get_allocator();
  if (allocator.maps(joined.data.capacity())) {
    const std::size_t mapped = allocator.mapped_bytes(joined.data.capacity());
    release_pages(joined.data.data() + joined.data.size(), mapped - joined.data.size());
  }
  joined.offsets = std::move(offsets);
  return joined;
}

}  // namespace

// Every group's registers (group g's at registers[g * m]) and value count,
// folded from the rows: each thread folds a range of rows into registers of
// its own, then the register maxima are taken.
struct GroupedSketchBuilder::FoldedGroups {
  Bytes registers;
  std::vector<std::int64_t> counts;
};

GroupedSketchBuilder::FoldedGroups GroupedSketchBuilder::fold_groups(std::span<const std::uint32_t> groups,
                                                                     std::span<const std::uint32_t> codes,
                                                                     std::uint32_t group_count, std::size_t m,
                                                                     int parts) const {
  std::vector<FoldedGroups> partial(static_cast<std::size_t>(parts));
  run_parallel(parts, [&](int t) {
    FoldedGroups& own = partial[static_cast<std::size_t>(t)];
    own.registers.assign(group_count * m, 0);
    own.counts.assign(group_count, 0);
    const auto [begin, end] = part_range(groups.size(), parts, t);
    // Locals the compiler can keep in registers across the loop.
    const SparseEncoding encoding = codes_;
    const int shift = std::countr_zero(m);
    std::uint8_t* const registers = own.registers.data();
    std::int64_t* const counts = own.counts.data();
    const std::uint32_t* const group_of = groups.data();
    const std::uint32_t* const code_of = codes.data();
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint32_t code = code_of[i];
      if (code == kNoValue) continue;
      const std::uint32_t group = group_of[i];
      VANTORELLE_ASSERT(group < group_count, "group < group_count");
      ++counts[group];
      const NormalCoordinates c = encoding.decode_normal(code);
      // Unconditional: while a group's registers fill, about half its rows
      // raise one, a branch no predictor gets right.
      std::uint8_t& reg = registers[(static_cast<std::size_t>(group) << shift) + c.index];
      reg = std::max(reg, static_cast<std::uint8_t>(c.rho_w));
    }
  });
  FoldedGroups& folded = partial[0];
  for (std::size_t t = 1; t < partial.size(); ++t) {
    for (std::size_t i = 0; i < folded.registers.size(); ++i) {
      folded.registers[i] = std::max(folded.registers[i], partial[t].registers[i]);
    }
    for (std::size_t g = 0; g < group_count; ++g) folded.counts[g] += partial[t].counts[g];
  }
  return std::move(folded);
}

// Writes one group's sketch after another into a share's output, reusing
// its scratch room from group to group.
//
// Whether a group ends sparse depends on the moments its sparse buffer
// flushes: the sparse data is checked against its budget at each flush.
// The sorted, collapsed values of the whole group give the sparse data of
// the last check. An earlier check sees a subset of the values, with the
// rho of some rho-encoded values not yet at their largest: dropping values
// never lengthens the varint coding, and a smaller rho lengthens it by at
// most one byte per value. So the group ends
//   normal  when the whole group's sparse data is over budget,
//   sparse  when it stays within budget even with one byte more for each
//           rho-encoded value,
// and only in between is it replayed in row order through the
// representations, which flush exactly as adding the values one by one does.
class GroupedSketchBuilder::GroupWriter {
 public:
  explicit GroupWriter(const GroupedSketchBuilder& builder)
      : builder_(builder), state_(scalar_fields(builder.fresh_)), layout_(SparseLayout::written_for(state_)) {}

  // `codes` are the group's, in row order.
  template <class Out>
  Status write(std::span<std::uint32_t> codes, Out& out) {
    const std::size_t n = codes.size();
    if (n == 0) {
      append(out, builder_.empty_);
      return {};
    }
    if (builder_.max_buffer_elements_ == 0) return write_normal(codes, out);
    std::span<std::uint32_t> ascending;
    const bool folded = n > builder_.max_buffer_elements_;
    if (!folded) {
      // The buffer holds every value until serialisation: no check before
      // the last, and row order does not matter.
      sort_codes(codes, scratch_);
      ascending = codes;
    } else {
      // Registers that no sparse form could fit rule out the sort.
      fold(codes);
      const std::size_t filled = filled_registers();
      if (sparse_data_exceeds(codes, filled, builder_.max_sparse_data_bytes_, builder_.codes_)) {
        return write_registers(n, out);
      }
      // The codes stay in row order for a replay. Mostly distinct codes are
      // sorted as they are (encode_sorted drops repeats); with many repeats
      // a set of the distinct ones is smaller.
      if (n <= 2 * filled) {
        sorted_.assign(codes.begin(), codes.end());
      } else {
        distinct_codes(codes, filled);
      }
      sort_codes(sorted_, scratch_);
      ascending = sorted_;
    }
    std::int32_t rho_encoded = 0;
    const std::size_t length = encode_sorted(ascending, &rho_encoded);
    if (length > builder_.max_sparse_data_bytes_) {
      // (folded: registers_ already holds the group's registers)
      return folded ? write_registers(n, out) : write_normal(codes, out);
    }
    if (n <= builder_.max_buffer_elements_ ||
        length + static_cast<std::size_t>(rho_encoded) <= builder_.max_sparse_data_bytes_) {
      if (layout_) {
        layout_->append(out, n, static_cast<std::uint32_t>(state_.sparse_size), *state_.sparse_data);
        return {};
      }
      state_.num_values = n;
      return encode_state_into(state_, out);
    }
    return replay(codes, out);
  }

  // A group's registers, folded elsewhere from its n values.
  template <class Out>
  Status write_folded(const std::uint8_t* registers, std::size_t n, Out& out) {
    registers_.assign(registers, registers + (std::size_t{1} << builder_.codes_.normal_precision()));
    return write_registers(n, out);
  }

 private:
  // The distinct codes into sorted_ (unordered), through a flat set that
  // starts at a size for `expected` codes and doubles as it fills. Past the
  // most a sparse form within budget can hold (a group bound to go normal)
  // all codes are taken as they are.
  void distinct_codes(std::span<const std::uint32_t> codes, std::size_t expected) {
    const std::size_t most = 4 * builder_.max_sparse_data_bytes_;
    std::size_t slots = 1024;
    while (slots < 4 * expected && slots < 2 * most) slots *= 2;
    set_.assign(slots, kNoValue);
    sorted_.clear();
    for (const std::uint32_t code : codes) {
      if (!insert_distinct(code)) continue;
      if (sorted_.size() > most) {
        sorted_.assign(codes.begin(), codes.end());
        return;
      }
      if (2 * sorted_.size() > set_.size()) {
        set_.assign(set_.size() * 2, kNoValue);
        const std::size_t held = sorted_.size();
        sorted_.clear();
        for (std::size_t i = 0; i < held; ++i) insert_distinct(scratch_[i]);
      }
    }
  }

  // Adds `code` to the set; true when it was not there. Each new code is
  // also kept in scratch_ for a rehash.
  bool insert_distinct(std::uint32_t code) {
    const std::size_t mask = set_.size() - 1;
    const int shift = 64 - std::countr_zero(set_.size());
    std::size_t at = static_cast<std::size_t>((code * builder_.multiplier_) >> shift);
    while (set_[at] != kNoValue && set_[at] != code) at = (at + 1) & mask;
    if (set_[at] == code) return false;
    set_[at] = code;
    if (scratch_.size() <= sorted_.size()) scratch_.resize(2 * sorted_.size() + 64);
    scratch_[sorted_.size()] = code;
    sorted_.push_back(code);
    return true;
  }

  // The group's registers from its codes.
  void fold(std::span<const std::uint32_t> codes) {
    const SparseEncoding& encoding = builder_.codes_;
    registers_.assign(std::size_t{1} << encoding.normal_precision(), 0);
    std::uint8_t* registers = registers_.data();
    for (const std::uint32_t code : codes) {
      const NormalCoordinates c = encoding.decode_normal(code);
      // Unconditional, as in fold_groups: a branch on the maximum is
      // mispredicted while the registers fill.
      std::uint8_t& reg = registers[c.index];
      reg = std::max(reg, static_cast<std::uint8_t>(c.rho_w));
    }
  }

  std::size_t filled_registers() const {
    std::size_t filled = 0;
    for (const std::uint8_t value : registers_) filled += value != 0;
    return filled;
  }

  template <class Out>
  Status write_normal(std::span<const std::uint32_t> codes, Out& out) {
    fold(codes);
    return write_registers(codes.size(), out);
  }

  template <class Out>
  Status write_registers(std::size_t n, Out& out) {
    SketchState& state = normal_state_;
    if (!state.data) {
      state = scalar_fields(builder_.fresh_);
      state.sparse_size = 0;
      state.data.emplace();
    }
    state.num_values = n;
    state.data->swap(registers_);
    const Status written = encode_state_into(state, out);
    state.data->swap(registers_);
    return written;
  }

  // The sparse data of ascending codes into the state; gives its length and
  // the number of rho-encoded values in it.
  std::size_t encode_sorted(std::span<const std::uint32_t> ascending, std::int32_t* rho_encoded) {
    const SparseEncoding& encoding = builder_.codes_;
    Bytes& bytes = state_.sparse_data ? *state_.sparse_data : state_.sparse_data.emplace();
    bytes.resize(ascending.size() * 5 + 8);
    std::uint8_t* const begin = bytes.data();
    std::uint8_t* out = begin;
    std::uint32_t previous = 0;
    std::int32_t count = 0;
    std::int32_t rho = 0;
    const std::size_t n = ascending.size();
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t value = ascending[i];
      if (i + 1 < n && ascending[i + 1] == value) continue;
      // Of rho-encoded values that share a sparse index the largest rho wins.
      if (encoding.is_rho_encoded(value)) {
        if (i + 1 < n && encoding.decode_sparse(ascending[i + 1]).sparse_index ==
                             encoding.decode_sparse(value).sparse_index) {
          continue;
        }
        ++rho;
      }
      out = DifferenceEncoder::write_varint(out, value - previous);
      previous = value;
      ++count;
    }
    const auto length = static_cast<std::size_t>(out - begin);
    bytes.resize(length);
    state_.sparse_size = count;
    *rho_encoded = rho;
    return length;
  }

  // The aggregator's own path for the group's codes in row order.
  template <class Out>
  Status replay(std::span<const std::uint32_t> codes, Out& out) const {
    Result<Representation> fresh = Representation::from_state(builder_.fresh_);
    if (!fresh) return fresh.take_error();
    Result<Representation> added = add_value_sequence(std::move(*fresh), codes, builder_.codes_);
    if (!added) return added.take_error();
    VANTORELLE_RETURN_IF_ERROR(added->compact());
    added->state().num_values = codes.size();
    return encode_state_into(added->state(), out);
  }

  const GroupedSketchBuilder& builder_;
  SketchState state_;         // sparse groups
  std::optional<SparseLayout> layout_;  // theirs, where the fields allow
  SketchState normal_state_;  // normal groups, once one is met
  Bytes registers_;
  std::vector<std::uint32_t> set_;
  std::vector<std::uint32_t> sorted_;
  std::vector<std::uint32_t> scratch_;
};

Result<GroupedSketchBuilder> GroupedSketchBuilder::create(InputType type,
                                                          std::int32_t normal_precision,
                                                          std::int32_t sparse_precision) {
  Result<HyperLogLogPlusPlus> fresh =
      type == InputType::LONG ? HyperLogLogPlusPlus::new_long(normal_precision, sparse_precision)
                              : HyperLogLogPlusPlus::new_string_or_bytes(normal_precision, sparse_precision);
  if (!fresh) return fresh.take_error();
  Result<Bytes> empty = fresh->to_bytes();
  if (!empty) return empty.take_error();
  const Representation& representation = fresh->representation();
  std::uint64_t max_buffer = 0;
  std::uint64_t max_data = 0;
  if (const SparseRepresentation* sparse = representation.sparse()) {
    max_buffer = sparse->max_buffer_elements();
    max_data = sparse->max_sparse_data_bytes();
  }
  Result<SparseEncoding> codes = code_encoding(normal_precision, sparse_precision);
  if (!codes) return codes.take_error();
  // Codes come from hashes of the caller's values, which could be chosen to
  // crowd one stretch of a set with a known multiplier.
  static const std::uint64_t multiplier = [] {
    std::random_device device;
    return ((static_cast<std::uint64_t>(device()) << 32) | device()) | 1;
  }();
  return GroupedSketchBuilder(representation.state(), *codes, std::move(*empty), max_buffer,
                              max_data, multiplier);
}

Result<SerializedSketches> GroupedSketchBuilder::build(std::span<const std::uint32_t> groups,
                                                       std::span<const std::uint32_t> codes,
                                                       std::uint32_t group_count, int threads,
                                                       std::span<const std::uint8_t> present) const {
  return build_impl(groups, codes, group_count, threads, present, nullptr, nullptr);
}

Result<SparseEncoding> GroupedSketchBuilder::code_encoding(std::int32_t normal_precision,
                                                           std::int32_t sparse_precision) {
  return SparseEncoding::create(normal_precision, sparse_precision == 0 ? normal_precision : sparse_precision);
}

Result<SerializedSketches> GroupedSketchBuilder::build_consuming(MappedVector<std::uint32_t>& groups,
                                                                 Codes& codes,
                                                                 std::uint32_t group_count, int threads,
                                                                 std::span<const std::uint8_t> present) const {
  return build_impl(groups, codes, group_count, threads, present, &groups, &codes);
}

Result<SerializedSketches> GroupedSketchBuilder::build_impl(std::span<const std::uint32_t> groups,
                                                            std::span<const std::uint32_t> codes,
                                                            std::uint32_t group_count, int threads,
                                                            std::span<const std::uint8_t> present,
                                                            MappedVector<std::uint32_t>* release_groups,
                                                            Codes* release_codes) const {
  VANTORELLE_ASSERT(present.empty() || present.size() == group_count, "present.size() == group_count");
  VANTORELLE_ASSERT(groups.size() == codes.size(), "groups.size() == codes.size()");
  if (!folds_rows(group_count, groups.size(), threads)) {
    GroupedItems sorted = items_by_group(groups, codes, group_count, threads);
    // The rows are not read again.
    if (release_groups != nullptr) MappedVector<std::uint32_t>().swap(*release_groups);
    if (release_codes != nullptr) Codes().swap(*release_codes);
    return build_sorted(std::move(sorted), threads, present);
  }
  // Few groups: each group's registers are folded straight from the rows,
  // and a group that no sparse form could fit is written from them; only
  // the other groups' codes are sorted by group.
  const int parts = useful_threads(threads, groups.size());
  const std::size_t m = std::size_t{1} << codes_.normal_precision();
  FoldedGroups folded = fold_groups(groups, codes, group_count, m, parts);
  std::vector<std::uint8_t> from_registers(group_count, 0);
  bool codes_needed = false;
  for (std::size_t g = 0; g < group_count; ++g) {
    if (folded.counts[g] == 0) continue;
    const std::uint8_t* registers = folded.registers.data() + g * m;
    const auto filled = static_cast<std::size_t>(
        std::count_if(registers, registers + m, [](std::uint8_t r) { return r != 0; }));
    // Each filled register takes at least one byte of sparse data.
    if (max_buffer_elements_ == 0 || filled > max_sparse_data_bytes_) {
      from_registers[g] = 1;
    } else {
      codes_needed = true;
    }
  }
  GroupedItems sorted;
  if (codes_needed) {
    std::vector<std::uint32_t> undecided(codes.begin(), codes.end());
    for (std::size_t i = 0; i < undecided.size(); ++i) {
      if (from_registers[groups[i]]) undecided[i] = kNoValue;
    }
    sorted = items_by_group(groups, undecided, group_count, threads);
  } else {
    sorted.starts = GroupStarts(MappedVector<std::uint32_t>(static_cast<std::size_t>(group_count) + 1, 0));
  }
  // The rows are not read again.
  if (release_groups != nullptr) MappedVector<std::uint32_t>().swap(*release_groups);
  if (release_codes != nullptr) Codes().swap(*release_codes);
  return write_groups(sorted, parts, present, from_registers, folded);
}

bool GroupedSketchBuilder::folds_rows(std::uint32_t group_count, std::size_t rows, int threads) const {
  const std::size_t m = std::size_t{1} << codes_.normal_precision();
  const auto parts = static_cast<std::size_t>(useful_threads(threads, rows));
  return group_count * m * parts <= std::max<std::size_t>(4 * rows, 1 << 22);
}

Result<SerializedSketches> GroupedSketchBuilder::build_sorted(GroupedItems sorted, int threads,
                                                              std::span<const std::uint8_t> present) const {
  const auto rows = static_cast<std::size_t>(sorted.starts.back());
  const int parts = useful_threads(threads, rows);
  return write_groups(sorted, parts, present, {}, FoldedGroups{});
}

Result<SerializedSketches> GroupedSketchBuilder::write_groups(GroupedItems& sorted, int parts,
                                                              std::span<const std::uint8_t> present,
                                                              std::span<const std::uint8_t> from_registers,
                                                              const FoldedGroups& folded) const {
  const std::size_t group_count = sorted.starts.groups();
  VANTORELLE_ASSERT(present.empty() || present.size() == group_count, "present.size() == group_count");
  const std::size_t m = std::size_t{1} << codes_.normal_precision();
  // A share's work is not its rows: a group's codes are sorted while they
  // fit the sparse buffer, but past it mostly folded into registers, which
  // takes about half as long a code; and each group costs about what six
  // codes do. (Weights from the threads' times at 10,000 and 200,000
  // groups.) Split by rows alone, the share that held the large groups,
  // numbered first as they are met first, finished in half the time of the
  // other.
  const std::vector<std::size_t> first = shares_by_cost(group_count, parts, [&](std::size_t g) {
    if (!from_registers.empty() && from_registers[g]) return static_cast<std::uint64_t>(m / 8);
    const auto n = static_cast<std::uint64_t>(sorted.starts.at(g + 1) - sorted.starts.at(g));
    return 6 + (n <= max_buffer_elements_ ? n : n / 2);
  });
  std::vector<ShareOutput> shares(static_cast<std::size_t>(parts));
  std::vector<std::int64_t> offsets(group_count + 1, 0);
  std::vector<Status> failures(static_cast<std::size_t>(parts));
  // Room for what the shares write, reserved up front: a buffer grown by
  // doubling holds its old and new copies at once, twice the output at the
  // peak. Reserved pages that are never written take no memory, so the
  // bound may be loose: a group takes at most its fields and the smaller of
  // five bytes a value and a byte a register (without a sparse phase, a
  // byte a register once it has a value). The first share's room also
  // holds the other shares', appended to it at the end.
  const auto room = [&](std::size_t begin, std::size_t end) {
    std::size_t bytes = 0;
    for (std::size_t g = begin; g < end; ++g) {
      const auto values = !from_registers.empty() && from_registers[g]
                              ? m
                              : static_cast<std::size_t>(sorted.starts.at(g + 1) - sorted.starts.at(g));
      bytes += 64 + (max_buffer_elements_ == 0 && values != 0 ? m : std::min(5 * values, m));
    }
    return bytes;
  };
  run_parallel(parts, [&](int t) {
    ShareOutput& share = shares[static_cast<std::size_t>(t)];
    GroupWriter writer(*this);
    const std::size_t end = first[static_cast<std::size_t>(t) + 1];
    share.data.reserve(t == 0 ? room(0, group_count) : room(first[static_cast<std::size_t>(t)], end));
    // Written from the start on: only the last huge page is partly unwritten.
    prefer_huge_pages(share.data.data(), share.data.capacity());
    for (std::size_t g = first[static_cast<std::size_t>(t)]; g < end; ++g) {
      if (!present.empty()) share.present.push_back(present[g]);
      if (!present.empty() && present[g] == 0) {
        offsets[g + 1] = static_cast<std::int64_t>(share.data.size());
        continue;
      }
      std::span<std::uint32_t> group = sorted.of(g);
      if (sorted.holds_no_item) {
        group = group.first(static_cast<std::size_t>(std::remove(group.begin(), group.end(), kNoValue) - group.begin()));
      }
      Status written = !from_registers.empty() && from_registers[g]
                           ? writer.write_folded(folded.registers.data() + g * m,
                                                 static_cast<std::size_t>(folded.counts[g]), share.data)
                           : writer.write(group, share.data);
      if (!written) {
        failures[static_cast<std::size_t>(t)] = std::move(written);
        return;
      }
      offsets[g + 1] = static_cast<std::int64_t>(share.data.size());
    }
  });
  for (Status& failure : failures) {
    if (!failure) return failure.take_error();
  }
  decltype(sorted.items)().swap(sorted.items);
  return join(shares, first, offsets, !present.empty());
}

Result<Bytes> GroupedSketchBuilder::build_one(std::span<std::uint32_t> codes) const {
  Bytes out;
  VANTORELLE_RETURN_IF_ERROR(OneAtATime(*this).write(codes, out));
  return out;
}

GroupedSketchBuilder::OneAtATime::OneAtATime(const GroupedSketchBuilder& builder)
    : writer_(std::make_unique<GroupWriter>(builder)) {}
GroupedSketchBuilder::OneAtATime::~OneAtATime() = default;
GroupedSketchBuilder::OneAtATime::OneAtATime(OneAtATime&&) noexcept = default;
GroupedSketchBuilder::OneAtATime& GroupedSketchBuilder::OneAtATime::operator=(OneAtATime&&) noexcept = default;

Status GroupedSketchBuilder::OneAtATime::write(std::span<std::uint32_t> codes, Bytes& out) {
  const auto values = static_cast<std::size_t>(std::remove(codes.begin(), codes.end(), kNoValue) - codes.begin());
  return writer_->write(codes.first(values), out);
}

Result<SerializedSketches> merge_groups(std::span<const std::uint32_t> groups,
                                        std::span<const ByteView> sketches,
                                        std::span<const std::int64_t> rows,
                                        std::uint32_t group_count, int threads,
                                        RowFailure* failure) {
  VANTORELLE_ASSERT(groups.size() == sketches.size() && rows.size() == sketches.size(),
                    "groups, sketches and rows of one length");
  VANTORELLE_ASSERT(sketches.size() <= UINT32_MAX, "sketches.size() <= UINT32_MAX");
  std::vector<std::uint32_t> index(sketches.size());
  for (std::size_t i = 0; i < index.size(); ++i) index[i] = static_cast<std::uint32_t>(i);
  GroupedItems sorted = items_by_group(groups, index, group_count, threads);
  std::vector<std::uint32_t>().swap(index);
  const int parts = useful_threads(threads, sketches.size(), kSketchesPerThread);
  const std::vector<std::size_t> first = sorted.starts.shares(parts);
  std::vector<ShareOutput> shares(static_cast<std::size_t>(parts));
  std::vector<std::int64_t> offsets(static_cast<std::size_t>(group_count) + 1, 0);
  // The failing row of each share with the smallest row number: all groups
  // are merged, so the row reported does not depend on the split.
  std::vector<RowFailure> failed(static_cast<std::size_t>(parts));
  std::vector<Status> broken(static_cast<std::size_t>(parts));
  run_parallel(parts, [&](int t) {
    ShareOutput& share = shares[static_cast<std::size_t>(t)];
    RowFailure& own = failed[static_cast<std::size_t>(t)];
    std::vector<ByteView> group_sketches;
    SparseRollUp roll_up;
    const std::size_t last = first[static_cast<std::size_t>(t) + 1];
    for (std::size_t g = first[static_cast<std::size_t>(t)]; g < last; ++g) {
      const auto begin = static_cast<std::size_t>(sorted.starts.at(g));
      const auto end = static_cast<std::size_t>(sorted.starts.at(g + 1));
      // A group's sketches lie anywhere in the column: while this one is
      // merged, where a later group's lie is fetched, then (once that has
      // arrived) their first bytes.
      if (g + 2 * kGroupsAhead < last) {
        const auto ahead_end = static_cast<std::size_t>(sorted.starts.at(g + 2 * kGroupsAhead + 1));
        for (auto k = static_cast<std::size_t>(sorted.starts.at(g + 2 * kGroupsAhead)); k < ahead_end; ++k) {
          __builtin_prefetch(&sketches[sorted.items[k]]);
        }
      }
      if (g + kGroupsAhead < last) {
        const auto ahead_end = static_cast<std::size_t>(sorted.starts.at(g + kGroupsAhead + 1));
        for (auto k = static_cast<std::size_t>(sorted.starts.at(g + kGroupsAhead)); k < ahead_end; ++k) {
          __builtin_prefetch(sketches[sorted.items[k]].data());
        }
      }
      if (begin == end) {
        share.present.push_back(0);
        offsets[g + 1] = static_cast<std::int64_t>(share.data.size());
        continue;
      }
      std::optional<HyperLogLogPlusPlus> merged;
      std::size_t from = begin;
      if (end - begin >= 2) {
        group_sketches.clear();
        for (std::size_t k = begin; k < end; ++k) group_sketches.push_back(sketches[sorted.items[k]]);
        const std::size_t before = share.data.size();
        const std::size_t rolled = roll_up.merge_prefix_into(group_sketches, share.data);
        if (rolled == group_sketches.size()) {
          share.present.push_back(1);
          offsets[g + 1] = static_cast<std::int64_t>(share.data.size());
          continue;
        }
        if (rolled != 0) {
          // The one-by-one merge goes on from the merge of the first ones.
          Result<HyperLogLogPlusPlus> loaded =
              HyperLogLogPlusPlus::from_bytes(ByteView(share.data.data() + before, share.data.size() - before));
          share.data.resize(before);
          if (!loaded) {
            broken[static_cast<std::size_t>(t)] = loaded.take_error();
            return;
          }
          merged.emplace(std::move(*loaded));
          from = begin + rolled;
        }
      }
      for (std::size_t k = from; k < end; ++k) {
        const std::uint32_t i = sorted.items[k];
        Status step;
        if (!merged) {
          Result<HyperLogLogPlusPlus> loaded = HyperLogLogPlusPlus::from_bytes(sketches[i]);
          if (loaded) merged.emplace(std::move(*loaded));
          else step = loaded.take_error();
        } else {
          step = merged->merge_bytes(sketches[i]);
        }
        if (!step) {
          if (own.row < 0 || rows[i] < own.row) own = RowFailure{rows[i], step.error().display()};
          merged.reset();
          break;
        }
      }
      if (merged) {
        Result<Bytes> message = merged->to_bytes();
        if (!message) {
          broken[static_cast<std::size_t>(t)] = message.take_error();
          return;
        }
        append(share.data, *message);
      }
      share.present.push_back(merged ? 1 : 0);
      offsets[g + 1] = static_cast<std::int64_t>(share.data.size());
    }
  });
  for (Status& status : broken) {
    if (!status) return status.take_error();
  }
  *failure = RowFailure{};
  for (RowFailure& own : failed) {
    if (own.row >= 0 && (failure->row < 0 || own.row < failure->row)) *failure = std::move(own);
  }
  if (failure->row >= 0) return invalid_state(failure->message);
  return join(shares, first, offsets, true);
}

}  // namespace vantorelle
