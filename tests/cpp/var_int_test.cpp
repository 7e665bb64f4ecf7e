#include "utils/var_int.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "error/internal_failure.h"
#include "utils/buffer_traits.h"

namespace vantorelle {
namespace {

// Appends the varint of `value` as the difference coder writes it.
void encode_varint(std::uint32_t value, Bytes& out) {
  const std::size_t start = out.size();
  out.resize(start + 8);
  std::uint8_t* const end = DifferenceEncoder::write_varint(out.data() + start, value);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

// What an encoder has written so far, leaving it as it is.
Bytes written(const DifferenceEncoder& encoder) {
  DifferenceEncoder copy = encoder;
  return std::move(copy).take();
}

std::optional<std::uint32_t> try_next(DifferenceDecoder& decoder) {
  if (decoder.at_end()) return std::nullopt;
  return decoder.next();
}

struct VarintCase {
  std::uint32_t value;
  Bytes encoded;
};

class VarintCoding : public ::testing::TestWithParam<VarintCase> {};

TEST_P(VarintCoding, EncodesToTheExpectedBytes) {
  Bytes out = {0xAA};  // appends after what is already there
  encode_varint(GetParam().value, out);
  Bytes expected = {0xAA};
  expected.insert(expected.end(), GetParam().encoded.begin(), GetParam().encoded.end());
  EXPECT_EQ(out, expected);
  EXPECT_EQ(varint_length(GetParam().value), GetParam().encoded.size());
}

TEST_P(VarintCoding, DecodesBackConsumingOnlyItsOwnBytes) {
  Bytes input = GetParam().encoded;
  input.push_back(0x7F);  // a following varint must be left alone
  const DecodedVarint decoded = decode_varint(input);
  EXPECT_EQ(decoded.value, GetParam().value);
  EXPECT_EQ(decoded.length, GetParam().encoded.size());
}

INSTANTIATE_TEST_SUITE_P(
    Examples, VarintCoding,
    ::testing::Values(VarintCase{0, {0x00}}, VarintCase{127, {0x7F}},
                      VarintCase{128, {0x80, 0x01}}, VarintCase{300, {0xAC, 0x02}},
                      VarintCase{16383, {0xFF, 0x7F}}, VarintCase{16384, {0x80, 0x80, 0x01}},
                      VarintCase{(1u << 21) - 1, {0xFF, 0xFF, 0x7F}},
                      VarintCase{1u << 21, {0x80, 0x80, 0x80, 0x01}},
                      VarintCase{(1u << 28) - 1, {0xFF, 0xFF, 0xFF, 0x7F}},
                      VarintCase{1u << 28, {0x80, 0x80, 0x80, 0x80, 0x01}},
                      VarintCase{4294967295u, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}}));

TEST(DecodeVarint, FifthByteContributesOnlyItsLowFourBits) {
  const Bytes input = {0xFF, 0xFF, 0xFF, 0xFF, 0x10};
  const DecodedVarint decoded = decode_varint(input);
  EXPECT_EQ(decoded.value, 268435455u);
  EXPECT_EQ(decoded.length, 5u);
}

// The text of the InternalFailure that decoding `input` raises.
std::string decode_failure(const Bytes& input) {
  try {
    decode_varint(input);
  } catch (const InternalFailure& failure) {
    return failure.what();
  }
  ADD_FAILURE() << "decoding did not fail";
  return "";
}

TEST(DecodeVarint, RefusesAContinuationBitOnTheFifthByte) {
  EXPECT_EQ(decode_failure({0xFF, 0xFF, 0xFF, 0xFF, 0x80}), "varint too long");
}

TEST(DecodeVarint, RefusesInputThatEndsInsideAVarintNamingTheRemainingLength) {
  EXPECT_NE(decode_failure({0x80}).find("length 1"), std::string::npos);
  EXPECT_NE(decode_failure({}).find("length 0"), std::string::npos);
  EXPECT_NE(decode_failure({0x80, 0x80, 0x80, 0x80}).find("length 4"), std::string::npos);
}

std::string refusal_message(const Status& status) {
  EXPECT_FALSE(status.has_value());
  if (status.has_value()) return "";
  EXPECT_EQ(status.error().kind(), ErrorKind::InvalidArgument);
  return status.error().message();
}

TEST(DifferenceEncoder, EqualValuesGiveAZeroDifference) {
  DifferenceEncoder encoder;
  ASSERT_TRUE(encoder.put(5).has_value());
  ASSERT_TRUE(encoder.put(5).has_value());
  EXPECT_EQ(written(encoder), (Bytes{0x05, 0x00}));
}

TEST(DifferenceEncoder, AscendingValuesAreStoredAsDifferences) {
  DifferenceEncoder encoder;
  for (std::int32_t value : {5, 130, 131}) ASSERT_TRUE(encoder.put(value).has_value());
  const Bytes bytes = std::move(encoder).take();
  EXPECT_EQ(bytes, (Bytes{0x05, 0x7D, 0x01}));

  DifferenceDecoder decoder(bytes);
  std::vector<std::uint32_t> values;
  while (auto value = try_next(decoder)) values.push_back(*value);
  EXPECT_EQ(values, (std::vector<std::uint32_t>{5, 130, 131}));
  EXPECT_TRUE(decoder.at_end());
}

TEST(DifferenceEncoder, ASmallerValueIsRefusedAndAppendsNothing) {
  DifferenceEncoder encoder;
  ASSERT_TRUE(encoder.put(5).has_value());
  EXPECT_EQ(refusal_message(encoder.put(3)),
            "3 put after Some(5) but values are required to be in increasing order");
  EXPECT_EQ(written(encoder), (Bytes{0x05}));
  // The refused value did not become the previous one.
  ASSERT_TRUE(encoder.put(6).has_value());
  EXPECT_EQ(written(encoder), (Bytes{0x05, 0x01}));
}

TEST(DifferenceEncoder, NegativeValuesAreRefusedZeroIsAccepted) {
  DifferenceEncoder encoder;
  EXPECT_EQ(refusal_message(encoder.put(-1)), "Only positive integers are supported");
  EXPECT_TRUE(written(encoder).empty());
  ASSERT_TRUE(encoder.put(0).has_value());
  EXPECT_EQ(refusal_message(encoder.put(std::numeric_limits<std::int32_t>::min())),
            "Only positive integers are supported");
  EXPECT_EQ(written(encoder), (Bytes{0x00}));
}

TEST(DifferenceEncoder, AppendsToTheBytesItWasGiven) {
  DifferenceEncoder encoder(Bytes{0x01, 0x02});
  ASSERT_TRUE(encoder.put(300).has_value());
  EXPECT_EQ(written(encoder), (Bytes{0x01, 0x02, 0xAC, 0x02}));
}

TEST(DifferenceEncoder, PutAllWritesWhatSinglePutsWrite) {
  const std::vector<std::uint32_t> values = {0, 5, 5, 130, 131, 1u << 20, (1u << 31) - 1};
  DifferenceEncoder one_by_one(Bytes{0x09});
  for (std::uint32_t value : values) {
    ASSERT_TRUE(one_by_one.put(static_cast<std::int32_t>(value)).has_value());
  }
  DifferenceEncoder at_once(Bytes{0x09});
  ASSERT_TRUE(at_once.put_all(std::span<const std::uint32_t>(values).first(3)).has_value());
  ASSERT_TRUE(at_once.put_all(std::span<const std::uint32_t>(values).subspan(3)).has_value());
  EXPECT_EQ(written(at_once), written(one_by_one));
  EXPECT_EQ(std::move(at_once).take(), std::move(one_by_one).take());
}

TEST(DifferenceEncoder, PutAllStopsAtTheFirstRefusalKeepingWhatCameBefore) {
  DifferenceEncoder encoder;
  ASSERT_TRUE(encoder.put(2).has_value());
  const std::vector<std::uint32_t> values = {4, 9, 7, 20};
  EXPECT_EQ(refusal_message(encoder.put_all(values)),
            "7 put after Some(9) but values are required to be in increasing order");
  EXPECT_EQ(written(encoder), (Bytes{0x02, 0x02, 0x05}));
  // 9 is the previous value now.
  EXPECT_EQ(refusal_message(encoder.put(8)),
            "8 put after Some(9) but values are required to be in increasing order");

  const std::vector<std::uint32_t> first_below_previous = {1};
  EXPECT_EQ(refusal_message(encoder.put_all(first_below_previous)),
            "1 put after Some(9) but values are required to be in increasing order");
  // Beyond the signed range is a negative value.
  const std::vector<std::uint32_t> too_large = {0x80000000u};
  EXPECT_EQ(refusal_message(encoder.put_all(too_large)), "Only positive integers are supported");
  EXPECT_EQ(written(encoder), (Bytes{0x02, 0x02, 0x05}));
}

TEST(DifferenceDecoder, EmptyInputHasNoValues) {
  DifferenceDecoder decoder(ByteView{});
  EXPECT_TRUE(decoder.at_end());
  EXPECT_FALSE(try_next(decoder).has_value());
}

TEST(DifferenceDecoder, ACutOffFinalVarintIsAnInternalFailure) {
  const Bytes bytes = {0x05, 0x80};
  DifferenceDecoder decoder(bytes);
  EXPECT_EQ(decoder.next(), 5u);
  EXPECT_THROW(decoder.next(), InternalFailure);
}

TEST(DifferenceCoding, RandomAscendingSequencesRoundTrip) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 200; ++round) {
    // Mix small and large gaps so every varint width occurs.
    std::uniform_int_distribution<std::int32_t> count_dist(0, 300);
    std::uniform_int_distribution<int> width_dist(0, 30);
    std::vector<std::int32_t> values(static_cast<std::size_t>(count_dist(rng)));
    for (auto& value : values) {
      value = static_cast<std::int32_t>(rng() & ((1u << width_dist(rng)) - 1));
    }
    values.push_back(std::numeric_limits<std::int32_t>::max());
    std::sort(values.begin(), values.end());

    DifferenceEncoder encoder;
    std::size_t expected_length = 0;
    std::int32_t previous = 0;
    for (std::int32_t value : values) {
      ASSERT_TRUE(encoder.put(value).has_value());
      expected_length += varint_length(static_cast<std::uint32_t>(value - previous));
      previous = value;
    }
    const Bytes bytes = std::move(encoder).take();
    EXPECT_EQ(bytes.size(), expected_length);

    DifferenceDecoder decoder(bytes);
    std::vector<std::int32_t> decoded;
    while (!decoder.at_end()) decoded.push_back(static_cast<std::int32_t>(decoder.next()));
    ASSERT_EQ(decoded, values) << "round " << round;
  }
}

TEST(DifferenceDecoder, RunningValueWrapsModulo2To32) {
  // Stored data is not checked for ascending order: two large differences
  // wrap around instead of failing.
  Bytes bytes;
  encode_varint(0xFFFFFFF0u, bytes);
  encode_varint(0x20u, bytes);
  DifferenceDecoder decoder(bytes);
  EXPECT_EQ(decoder.next(), 0xFFFFFFF0u);
  EXPECT_EQ(decoder.next(), 0x10u);
}

}  // namespace
}  // namespace vantorelle
