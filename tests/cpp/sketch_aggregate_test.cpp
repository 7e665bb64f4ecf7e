// The per-group state of host-driven aggregates against a simple model: an
// aggregator per group that adds its values one by one, and the merge of
// its stored sketches in row order.
#include "engine/sketch_aggregate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "error/internal_failure.h"
#include "test_support.h"

namespace vantorelle::engine {
namespace {

using test::unwrap;

std::string text_of(std::uint64_t value) { return std::to_string(value).append("v"); }

std::uint64_t hash_of(InputType type, std::uint64_t value) {
  if (type == InputType::LONG) return HyperLogLogPlusPlus::hash_long(static_cast<std::int64_t>(value));
  const std::string text = text_of(value);
  return HyperLogLogPlusPlus::hash_bytes(
      ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

HyperLogLogPlusPlus model_sketch(const SketchParameters& parameters) {
  return unwrap(parameters.type == InputType::LONG
                    ? HyperLogLogPlusPlus::new_long(parameters.normal_precision,
                                                    parameters.sparse_precision)
                    : HyperLogLogPlusPlus::new_string_or_bytes(parameters.normal_precision,
                                                               parameters.sparse_precision));
}

// Rows of (group, value) cut into chunks of random length, each group's
// values fed to its state chunk by chunk as a host's update does, against
// one aggregator per group adding the same values one at a time (a chunk's
// values as hashes or as codes). Group sizes cross the sparse budget and
// the switch to registers.
TEST(SketchAggregate, ChunkedUpdatesGiveTheBytesOfOneByOneAdds) {
  std::mt19937_64 random(20261209);
  for (int round = 0; round < 12; ++round) {
    const InputType type = round % 3 == 0 ? InputType::LONG : round % 3 == 1 ? InputType::STRING
                                                                               : InputType::BYTES;
    const std::int32_t p = 10 + static_cast<std::int32_t>(random() % 5);
    const std::int32_t sp = round % 4 == 3 ? 0 : p + static_cast<std::int32_t>(random() % 6);
    const SketchParameters parameters = unwrap(SketchParameters::create(type, p, sp));
    const int groups = 1 + static_cast<int>(random() % 6);
    const std::size_t rows = random() % 12000;

    std::map<int, HyperLogLogPlusPlus> model;
    std::vector<SketchAggregate> states(static_cast<std::size_t>(groups));
    std::size_t row = 0;
    while (row < rows) {
      const std::size_t chunk = std::min<std::size_t>(rows - row, 1 + random() % 3000);
      std::map<int, std::vector<std::uint64_t>> per_group;
      for (std::size_t i = 0; i < chunk; ++i, ++row) {
        const int group = static_cast<int>(random() % static_cast<std::uint64_t>(groups));
        const std::uint64_t value = random() % (1 + rows / 2);
        per_group[group].push_back(hash_of(type, value));
        auto [it, fresh] = model.try_emplace(group, model_sketch(parameters));
        if (type == InputType::LONG) {
          unwrap(it->second.add_long(static_cast<std::int64_t>(value)));
        } else {
          const std::string text = text_of(value);
          unwrap(type == InputType::STRING
                     ? it->second.add_string(text)
                     : it->second.add_bytes(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                     text.size())));
        }
      }
      for (auto& [group, hashes] : per_group) {
        SketchAggregate& state = states[static_cast<std::size_t>(group)];
        if (random() % 2) {
          unwrap(state.add_hashes(parameters, hashes));
          continue;
        }
        // The same values as their codes, as a host that keeps codes adds them.
        std::vector<std::uint32_t> codes;
        for (const std::uint64_t hash : hashes) codes.push_back(parameters.codes().encode(hash));
        unwrap(state.add_codes(parameters, codes));
      }
    }
    for (int group = 0; group < groups; ++group) {
      const auto found = model.find(group);
      const Bytes want = found == model.end() ? unwrap(model_sketch(parameters).to_bytes())
                                              : unwrap(found->second.to_bytes());
      EXPECT_EQ(unwrap(states[static_cast<std::size_t>(group)].finalise_sketch(parameters)), want)
          << "round " << round << " group " << group;
    }
  }
  EXPECT_EQ(SketchAggregate::live_count(), 0);
}

// Partial states combined in any order give the union's estimate, and the
// merge aggregate of stored sketches gives the bytes of from_bytes of the
// first and merge_bytes of the others.
TEST(SketchAggregate, CombineAndMergeMatchTheAggregatorsMerge) {
  std::mt19937_64 random(7);
  const SketchParameters parameters = unwrap(SketchParameters::create(InputType::LONG, 12, 17));
  for (int round = 0; round < 8; ++round) {
    std::vector<SketchAggregate> parts(1 + random() % 5);
    HyperLogLogPlusPlus whole = model_sketch(parameters);
    std::vector<Bytes> stored;
    for (SketchAggregate& part : parts) {
      std::vector<std::uint64_t> hashes;
      const std::size_t n = random() % 9000;
      for (std::size_t i = 0; i < n; ++i) {
        const auto value = static_cast<std::int64_t>(random() % 20000);
        hashes.push_back(HyperLogLogPlusPlus::hash_long(value));
        unwrap(whole.add_long(value));
      }
      unwrap(part.add_hashes(parameters, hashes));
      if (!part.empty()) stored.push_back(unwrap(part.finalise_sketch(parameters)));
    }
    SketchAggregate merged;
    for (const Bytes& bytes : stored) unwrap(merged.merge_stored(bytes));
    if (stored.empty()) {
      EXPECT_FALSE(unwrap(merged.finalise_merge()).has_value());
    } else {
      HyperLogLogPlusPlus model = unwrap(HyperLogLogPlusPlus::from_bytes(stored[0]));
      for (std::size_t i = 1; i < stored.size(); ++i) unwrap(model.merge_bytes(stored[i]));
      EXPECT_EQ(*unwrap(merged.finalise_merge()), unwrap(model.to_bytes()));
    }

    std::shuffle(parts.begin(), parts.end(), random);
    // combine_copy leaves each part as it was: the parts' bytes are read
    // before and after, and a second total from them must come out equal.
    SketchAggregate copied;
    for (const SketchAggregate& part : parts) {
      const Bytes before = unwrap(part.finalise_sketch(parameters));
      unwrap(copied.combine_copy(part));
      EXPECT_EQ(unwrap(part.finalise_sketch(parameters)), before);
    }
    SketchAggregate total;
    for (SketchAggregate& part : parts) {
      unwrap(total.combine(part));
      EXPECT_TRUE(part.empty());
    }
    EXPECT_EQ(unwrap(copied.finalise_sketch(parameters)), unwrap(total.finalise_sketch(parameters)));
    copied.reset();
    const HyperLogLogPlusPlus combined =
        unwrap(HyperLogLogPlusPlus::from_bytes(unwrap(total.finalise_sketch(parameters))));
    EXPECT_EQ(unwrap(combined.result()), unwrap(whole.result()));
    EXPECT_EQ(combined.num_values(), whole.num_values());
  }
  EXPECT_EQ(SketchAggregate::live_count(), 0);
}

// Values folded into registers by hand and handed over with
// merge_registers leave the state as adding them one by one would, at
// precisions with and without a sparse phase.
TEST(SketchAggregate, MergedRegistersGiveTheBytesOfOneByOneAdds) {
  std::mt19937_64 random(31);
  for (int round = 0; round < 6; ++round) {
    const InputType type = round % 2 == 0 ? InputType::LONG : InputType::STRING;
    const std::int32_t p = 10 + static_cast<std::int32_t>(random() % 7);
    const std::int32_t sp = round % 3 == 2 ? 0 : p + static_cast<std::int32_t>(random() % 6);
    const SketchParameters parameters = unwrap(SketchParameters::create(type, p, sp));
    HyperLogLogPlusPlus model = model_sketch(parameters);
    SketchAggregate state;
    EXPECT_FALSE(state.register_precision().has_value());
    // Until the sketch holds registers: hashes, as a host feeds them.
    while (!state.register_precision()) {
      std::vector<std::uint64_t> hashes;
      for (int i = 0; i < 500; ++i) hashes.push_back(hash_of(type, random() % 100000));
      unwrap(state.add_hashes(parameters, hashes));
      unwrap(model.add_hashes(type, hashes));
    }
    EXPECT_EQ(*state.register_precision(), p);
    // Then two runs of values folded elsewhere, one of them empty.
    for (const std::size_t n : {std::size_t{0}, static_cast<std::size_t>(random() % 30000)}) {
      std::vector<std::uint8_t> registers(std::size_t{1} << p);
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t hash = hash_of(type, random() % 100000);
        const std::uint64_t rest = hash << p;
        const auto rho_w = static_cast<std::uint8_t>(rest != 0 ? __builtin_clzll(rest) + 1 : 64 - p + 1);
        std::uint8_t& reg = registers[hash >> (64 - p)];
        reg = std::max(reg, rho_w);
        unwrap(model.add_hashes(type, std::span(&hash, 1)));
      }
      unwrap(state.merge_registers(registers, n));
    }
    EXPECT_EQ(unwrap(state.finalise_sketch(parameters)), unwrap(model.to_bytes())) << "round " << round;
    // Registers of another precision are a host's mistake.
    EXPECT_THROW((void)state.merge_registers(std::vector<std::uint8_t>(std::size_t{1} << (p - 1)), 1),
                 InternalFailure);
  }
  SketchAggregate sparse;
  const std::uint64_t hash = HyperLogLogPlusPlus::hash_long(1);
  unwrap(sparse.add_hashes(unwrap(SketchParameters::create(InputType::LONG, 10, 15)), std::span(&hash, 1)));
  EXPECT_FALSE(sparse.register_precision().has_value());
  EXPECT_THROW((void)sparse.merge_registers(std::vector<std::uint8_t>(1024), 1), InternalFailure);
  sparse.reset();
  EXPECT_EQ(SketchAggregate::live_count(), 0);
}

// A state started from registers that the sparse form could not hold, then
// fed more values, ends with the bytes of one-by-one adds.
TEST(SketchAggregate, StartedFromRegistersGivesTheBytesOfOneByOneAdds) {
  std::mt19937_64 random(43);
  for (int round = 0; round < 6; ++round) {
    const InputType type = round % 3 == 0 ? InputType::LONG : round % 3 == 1 ? InputType::STRING
                                                                               : InputType::BYTES;
    const std::int32_t p = 10 + static_cast<std::int32_t>(random() % 5);
    const std::int32_t sp = p + 1 + static_cast<std::int32_t>(random() % 6);
    const SketchParameters parameters = unwrap(SketchParameters::create(type, p, sp));
    HyperLogLogPlusPlus model = model_sketch(parameters);
    // Two values a register on average: more registers filled than 0.75 * 2^p.
    std::vector<std::uint8_t> registers(std::size_t{1} << p);
    const std::size_t n = std::size_t{2} << p;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t hash = hash_of(type, random());
      const std::uint64_t rest = hash << p;
      const auto rho_w = static_cast<std::uint8_t>(rest != 0 ? __builtin_clzll(rest) + 1 : 64 - p + 1);
      std::uint8_t& reg = registers[hash >> (64 - p)];
      reg = std::max(reg, rho_w);
      unwrap(model.add_hashes(type, std::span(&hash, 1)));
    }
    SketchAggregate state;
    unwrap(state.start_from_registers(parameters, registers, n));
    EXPECT_EQ(state.register_precision(), std::optional<std::int32_t>(p));
    std::vector<std::uint64_t> more;
    for (int i = 0; i < 700; ++i) more.push_back(hash_of(type, random() % 1000));
    unwrap(state.add_hashes(parameters, more));
    unwrap(model.add_hashes(type, more));
    EXPECT_EQ(unwrap(state.finalise_sketch(parameters)), unwrap(model.to_bytes())) << "round " << round;
    EXPECT_THROW((void)state.start_from_registers(parameters, registers, 1), InternalFailure);
  }
  EXPECT_EQ(SketchAggregate::live_count(), 0);
}

TEST(SketchAggregate, RefusalsLeaveTheStateAsItWas) {
  EXPECT_FALSE(SketchParameters::create(InputType::LONG, 9, 20).has_value());
  EXPECT_FALSE(SketchParameters::create(InputType::LONG, 15, 26).has_value());

  const SketchParameters longs = unwrap(SketchParameters::create(InputType::LONG, 14, 20));
  const SketchParameters texts = unwrap(SketchParameters::create(InputType::STRING, 14, 20));
  SketchAggregate state;
  const std::uint64_t hash = HyperLogLogPlusPlus::hash_long(5);
  unwrap(state.add_hashes(longs, std::span(&hash, 1)));
  const Bytes before = unwrap(state.finalise_sketch(longs));

  // A corrupt stored sketch, one of another kind, and a combine across kinds.
  Bytes truncated(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(before.size() / 2));
  EXPECT_FALSE(state.merge_stored(truncated).has_value());
  EXPECT_FALSE(state.merge_stored(Bytes{}).has_value());
  SketchAggregate text_state;
  unwrap(text_state.add_hashes(texts, std::span(&hash, 1)));
  EXPECT_FALSE(state.merge_stored(unwrap(text_state.finalise_sketch(texts))).has_value());
  EXPECT_FALSE(state.combine(text_state).has_value());
  EXPECT_FALSE(text_state.empty());
  EXPECT_EQ(unwrap(state.finalise_sketch(longs)), before);

  // A state that saw nothing: the empty sketch, or NULL for a merge.
  SketchAggregate nothing;
  EXPECT_EQ(unwrap(nothing.finalise_sketch(texts)), unwrap(model_sketch(texts).to_bytes()));
  EXPECT_FALSE(unwrap(nothing.finalise_merge()).has_value());
  EXPECT_EQ(SketchAggregate::live_count(), 2);
  state.reset();
  text_state.reset();
  EXPECT_EQ(SketchAggregate::live_count(), 0);
}

}  // namespace
}  // namespace vantorelle::engine
