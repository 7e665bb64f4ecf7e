#include "state/state_message.h"

#include <gtest/gtest.h>

#include "state/common_shape_reader.h"

#include "test_support.h"

#include <climits>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace vantorelle {
namespace {

// "08 70 0A" -> {0x08, 0x70, 0x0A}
Bytes hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes repeat(const std::string& text, int times) {
  Bytes out;
  const Bytes piece = hex(text);
  for (int i = 0; i < times; ++i) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

const ValueType kUint64 = ValueType::default_ops(DefaultOpsType::UINT64);

// ------------------------------------------------------------------ encode

struct EncodeCase {
  const char* name;
  SketchState state;
  std::string bytes;
};

class EncodeExactBytes : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeExactBytes, WritesTheFieldsInOrderUnderTheirConditions) {
  Result<Bytes> encoded = encode_state(GetParam().state);
  ASSERT_TRUE(encoded.has_value()) << encoded.error().display();
  EXPECT_EQ(*encoded, hex(GetParam().bytes));
}

SketchState sparse_example() {
  SketchState state = test::sketch_state(15, 20, kUint64);
  state.sparse_data.emplace();
  return state;
}

SketchState everything_set() {
  SketchState state;
  state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
  state.num_values = UINT64_MAX;
  state.encoding_version = 2;
  state.value_type = ValueType::custom(1000);
  state.sparse_size = 3;
  state.precision = 10;
  state.sparse_precision = 25;
  state.data = hex("01 02");
  state.sparse_data = hex("80 01");
  return state;
}

SketchState negative_numbers() {
  SketchState state;
  state.encoding_version = -1;
  state.sparse_size = -5;
  state.precision = INT32_MIN;
  return state;
}

SketchState empty_data() {
  SketchState state = test::sketch_state(10, 0, ValueType::unknown());
  state.encoding_version = 1;
  state.data.emplace();
  return state;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, EncodeExactBytes,
    ::testing::Values(
        EncodeCase{"NewSparseLongSketch", sparse_example(),
                   "08 70 10 00 18 02 20 08 82 07 06 18 0F 20 14 32 00"},
        EncodeCase{"NewNormalLongSketch", test::sketch_state(15, 0, kUint64),
                   "08 70 10 00 18 02 20 08 82 07 02 18 0F"},
        EncodeCase{"DefaultRecordWritesTypeCountAndEmptyHllState", SketchState{},
                   "08 64 10 00 82 07 00"},
        EncodeCase{"EveryFieldSet", everything_set(),
                   "08 70 10 FF FF FF FF FF FF FF FF FF 01 18 02 20 E8 07 "
                   "82 07 0E 10 03 18 0A 20 19 2A 02 01 02 32 02 80 01"},
        EncodeCase{"NegativeInt32TakeTenBytes", negative_numbers(),
                   "08 64 10 00 18 FF FF FF FF FF FF FF FF FF 01 "
                   "82 07 16 10 FB FF FF FF FF FF FF FF FF 01 18 80 80 80 80 F8 FF FF FF FF 01"},
        EncodeCase{"PresentEmptyDataAndOmittedVersionOneAndUnknownValueType", empty_data(),
                   "08 70 10 00 82 07 04 18 0A 2A 00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Encode, NormalSketchDataLengthIsAMultiByteVarint) {
  SketchState state = test::sketch_state(15, 20, kUint64);
  state.data = Bytes(32768, 7);
  Result<Bytes> encoded = encode_state(state);
  ASSERT_TRUE(encoded.has_value());
  // Nested: 18 0F, 20 14, 2A + varint(32768) + 32768 bytes = 32776 = 88 80 02.
  const Bytes header = hex("08 70 10 00 18 02 20 08 82 07 88 80 02 18 0F 20 14 2A 80 80 02");
  ASSERT_EQ(encoded->size(), header.size() + 32768);
  EXPECT_TRUE(std::equal(header.begin(), header.end(), encoded->begin()));
  EXPECT_EQ(encoded->back(), 7);
}

// ------------------------------------------------------------------ decode

struct DecodeCase {
  const char* name;
  std::string bytes;
  SketchState expected;
};

class DecodeValid : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeValid, YieldsTheRecord) {
  const Bytes bytes = hex(GetParam().bytes);
  Result<SketchState> decoded = decode_state(bytes);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_EQ(*decoded, GetParam().expected);
}

SketchState with_value_type(ValueType value_type) {
  SketchState state;
  state.value_type = value_type;
  return state;
}

SketchState with_type(AggregatorType type) {
  SketchState state;
  state.type = type;
  return state;
}

SketchState with_nested(std::int32_t precision, std::int32_t sparse_precision) {
  SketchState state;
  state.precision = precision;
  state.sparse_precision = sparse_precision;
  return state;
}

SketchState second_hll_state_only() {
  SketchState state;
  state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
  state.sparse_precision = 20;
  state.sparse_data = hex("05");
  return state;
}

SketchState later_scalars_win() {
  SketchState state;
  state.type = AggregatorType::SUM;
  state.num_values = 2;
  state.encoding_version = 2;
  state.data = hex("BB");
  return state;
}

SketchState overhanging_nested_field() {
  SketchState state = with_nested(15, 0);
  state.value_type = ValueType::default_ops(DefaultOpsType::BYTES_OR_UTF8_STRING);
  return state;
}

SketchState overhanging_nested_bytes() {
  SketchState state;
  state.data = hex("01 02 03");
  state.num_values = 9;
  return state;
}

SketchState after_negative_length() {
  SketchState state;
  state.encoding_version = 15;
  return state;
}

SketchState skipped_everything() {
  SketchState state = with_nested(15, 20);
  state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
  state.num_values = 1;
  return state;
}

const std::string kHundredNestedGroups = [] {
  std::string text;
  for (int i = 0; i < 100; ++i) text += "2B ";
  for (int i = 0; i < 100; ++i) text += "2C ";
  return text;
}();

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeValid,
    ::testing::Values(
        DecodeCase{"EmptyInputIsAllDefaults", "", SketchState{}},
        DecodeCase{"ValueType5IsUint8", "20 05",
                   with_value_type(ValueType::default_ops(DefaultOpsType::UINT8))},
        DecodeCase{"ValueType11IsBytesOrUtf8", "20 0B",
                   with_value_type(ValueType::default_ops(DefaultOpsType::BYTES_OR_UTF8_STRING))},
        DecodeCase{"ValueType12IsUnknown", "20 0C", SketchState{}},
        DecodeCase{"ValueType500IsUnknown", "20 F4 03", SketchState{}},
        DecodeCase{"ValueType999IsUnknown", "20 E7 07", SketchState{}},
        DecodeCase{"ValueType1000IsCustom", "20 E8 07", with_value_type(ValueType::custom(1000))},
        DecodeCase{"NegativeValueTypeIsUnknown", "20 FD FF FF FF FF FF FF FF FF 01",
                   SketchState{}},
        DecodeCase{"Type7IsSum", "08 07", with_type(AggregatorType::SUM)},
        DecodeCase{"Type112IsHll", "08 70", with_type(AggregatorType::HYPERLOGLOG_PLUS_UNIQUE)},
        DecodeCase{"MinusOneInTenBytesIsAccepted", "82 07 0B 18 FF FF FF FF FF FF FF FF FF 01",
                   with_nested(-1, 0)},
        DecodeCase{"Int32Bounds",
                   "82 07 11 18 FF FF FF FF 07 20 80 80 80 80 F8 FF FF FF FF 01",
                   with_nested(INT32_MAX, INT32_MIN)},
        DecodeCase{"OverlongFiveByteTagIsAccepted", "88 80 80 80 00 70",
                   with_type(AggregatorType::HYPERLOGLOG_PLUS_UNIQUE)},
        DecodeCase{"LaterHllStateReplacesEarlierWhole",
                   "08 70 82 07 07 18 0F 2A 03 01 02 03 82 07 05 20 14 32 01 05",
                   second_hll_state_only()},
        DecodeCase{"EmptyHllStateResetsEarlierOne", "82 07 04 18 0F 20 14 82 07 00",
                   SketchState{}},
        DecodeCase{"RepeatedScalarsAndBytesLastWins",
                   "08 70 10 01 18 02 82 07 06 2A 01 AA 2A 01 BB 08 64 10 02", later_scalars_win()},
        // Nested length 1 ends inside the precision field, which is read whole;
        // the value type then follows at the top level.
        DecodeCase{"NestedFieldRunsPastDeclaredEnd", "82 07 01 18 0F 20 0B",
                   overhanging_nested_field()},
        DecodeCase{"NestedBytesRunPastDeclaredEnd", "82 07 02 2A 03 01 02 03 10 09",
                   overhanging_nested_bytes()},
        DecodeCase{"NegativeNestedLengthIsEmpty", "82 07 FF FF FF FF FF FF FF FF FF 01 18 0F",
                   after_negative_length()},
        // Unknown numbers of every wire type, known numbers with another wire
        // type, HllUniqueState field 1, and nested groups are all skipped.
        DecodeCase{"SkipsUnknownAndMistypedFields",
                   "08 70 "
                   "28 96 01 "                    // field 5 varint
                   "31 01 02 03 04 05 06 07 08 "  // field 6 fixed64
                   "3A 02 AA BB "                 // field 7 length-delimited
                   "45 01 02 03 04 "              // field 8 fixed32
                   "4B 08 01 53 0A 00 54 4C "     // field 9 group holding a group of 10
                   "0A 01 70 "                    // type as length-delimited
                   "80 07 05 "                    // hll_state as varint
                   "10 01 "
                   "82 07 17 "
                   "08 01 0A 00 "                 // nested field 1, both wire types
                   "18 0F "
                   "28 07 "                       // data as varint
                   "35 01 02 03 04 "              // sparse_data as fixed32
                   "3B 3C "                       // nested empty group
                   "F8 FF FF FF 0F 01 "           // highest field number
                   "20 14",
                   skipped_everything()},
        DecodeCase{"HundredNestedGroupsAreSkipped", kHundredNestedGroups, SketchState{}}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ errors

struct ErrorCase {
  const char* name;
  Bytes bytes;
  std::string message;
};

class DecodeError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(DecodeError, IsProtoDeserializationSayingWhatAndWhere) {
  Result<SketchState> decoded = decode_state(GetParam().bytes);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().kind(), ErrorKind::ProtoDeserialization);
  EXPECT_EQ(decoded.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeError,
    ::testing::Values(
        ErrorCase{"FieldZero", hex("00"), "field number 0 in tag at offset 0"},
        ErrorCase{"FieldZeroLengthDelimited", hex("08 70 02 00"),
                  "field number 0 in tag at offset 2"},
        ErrorCase{"WireType6", hex("0E 00"), "invalid wire type 6 in tag at offset 0"},
        ErrorCase{"WireType7InNested", hex("82 07 02 1F 00"),
                  "invalid wire type 7 in tag at offset 3"},
        ErrorCase{"UnmatchedEndGroup", hex("08 70 0C"),
                  "end-group tag without a start-group at offset 2"},
        ErrorCase{"UnmatchedEndGroupInNested", hex("82 07 01 2C"),
                  "end-group tag without a start-group at offset 3"},
        ErrorCase{"EndGroupOfAnotherField", hex("2B 08 01 34"),
                  "end-group tag of field 6 at offset 3 does not close the group of field 5 "
                  "started at offset 0"},
        ErrorCase{"UnterminatedGroup", hex("2B 08 01"),
                  "group of field 5 started at offset 0 is not terminated"},
        ErrorCase{"GroupsNestedBeyondHundred", concat({repeat("2B", 101), repeat("2C", 101)}),
                  "groups nested deeper than 100 at offset 100"},
        ErrorCase{"TruncatedTag", hex("08 70 82"), "truncated tag at offset 2"},
        ErrorCase{"TruncatedTagInNested", hex("82 07 01 98"), "truncated tag at offset 3"},
        // A message cut inside its hll_state: its declared length runs past the input.
        ErrorCase{"NestedLengthBeyondInput", hex("82 07 40 18 0F 20 14"),
                  "length 64 of field 112 at offset 2 exceeds the 4 bytes left (the sketch was cut short)"},
        ErrorCase{"TagLongerThanFiveBytes", hex("88 80 80 80 80 00 70"),
                  "tag longer than five bytes at offset 0"},
        ErrorCase{"TagLongerThanFiveBytesAtEndOfInput", hex("88 80 80 80 80"),
                  "tag longer than five bytes at offset 0"},
        ErrorCase{"FifthTagByteAbove15", hex("88 80 80 80 10 70"),
                  "tag value 4294967304 exceeds 32 bits at offset 0"},
        ErrorCase{"TruncatedVarint", hex("08"), "truncated varint at offset 1"},
        ErrorCase{"TruncatedVarintInsideValue", hex("08 70 10 FF FF"),
                  "truncated varint at offset 3"},
        ErrorCase{"TruncatedVarintInSkippedField", hex("28 80"), "truncated varint at offset 1"},
        ErrorCase{"ElevenByteVarint", concat({hex("10"), repeat("FF", 10), hex("01")}),
                  "varint longer than ten bytes at offset 1"},
        ErrorCase{"TwoToThe31InInt32", hex("18 80 80 80 80 08"),
                  "value 2147483648 of int32 field 3 at offset 1 is out of range"},
        ErrorCase{"UnsignedMaxOfFiveBytesInInt32", hex("08 FF FF FF FF 0F"),
                  "value 4294967295 of int32 field 1 at offset 1 is out of range"},
        ErrorCase{"BelowInt32MinInNested", hex("82 07 0B 10 FF FF FF FF F7 FF FF FF FF 01"),
                  "value -2147483649 of int32 field 2 at offset 4 is out of range"},
        ErrorCase{"MissingHllStateLength", hex("82 07"), "truncated varint at offset 2"},
        ErrorCase{"HllStateLengthBeyondInt32", hex("82 07 80 80 80 80 08"),
                  "length 2147483648 of field 112 at offset 2 is out of the int32 range"},
        ErrorCase{"DataLengthBeyondInput", hex("82 07 05 2A 10 01 02 03"),
                  "length 16 of field 5 at offset 4 exceeds the 3 bytes left"},
        ErrorCase{"SkippedLengthBeyondInput", hex("3A 05 01"),
                  "length 5 of field 7 at offset 1 exceeds the 1 bytes left"},
        ErrorCase{"SkippedLengthHuge", concat({hex("3A"), repeat("FF", 9), hex("01")}),
                  "length 18446744073709551615 of field 7 at offset 1 exceeds the 0 bytes left"},
        ErrorCase{"TruncatedFixed64", hex("09 01 02 03"), "truncated 64-bit value at offset 1"},
        ErrorCase{"TruncatedFixed32", hex("82 07 03 0D 01 02"),
                  "truncated 32-bit value at offset 4"}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ round trips

enum class Presence { Absent, Empty, Filled };

std::optional<Bytes> make_bytes(Presence presence, std::uint8_t fill) {
  switch (presence) {
    case Presence::Absent: return std::nullopt;
    case Presence::Empty: return Bytes{};
    case Presence::Filled: return Bytes(300, fill);
  }
  return std::nullopt;
}

class PresenceRoundTrip
    : public ::testing::TestWithParam<std::tuple<Presence, Presence>> {};

TEST_P(PresenceRoundTrip, AbsentAndEmptyBytesSurvive) {
  SketchState state = test::sketch_state(12, 17, kUint64);
  state.data = make_bytes(std::get<0>(GetParam()), 0x11);
  state.sparse_data = make_bytes(std::get<1>(GetParam()), 0x22);
  Result<Bytes> encoded = encode_state(state);
  ASSERT_TRUE(encoded.has_value());
  Result<SketchState> decoded = decode_state(*encoded);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_EQ(*decoded, state);
}

INSTANTIATE_TEST_SUITE_P(
    AllCombinations, PresenceRoundTrip,
    ::testing::Combine(::testing::Values(Presence::Absent, Presence::Empty, Presence::Filled),
                       ::testing::Values(Presence::Absent, Presence::Empty, Presence::Filled)));

class ExtremeValuesRoundTrip : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(ExtremeValuesRoundTrip, EveryInt32FieldKeepsItsValue) {
  const std::int32_t value = GetParam();
  SketchState state;
  state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
  state.num_values = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
  state.encoding_version = value;
  state.value_type = ValueType::from_wire(value);
  state.sparse_size = value;
  state.precision = value;
  state.sparse_precision = value;
  Result<Bytes> encoded = encode_state(state);
  ASSERT_TRUE(encoded.has_value());
  Result<SketchState> decoded = decode_state(*encoded);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_EQ(*decoded, state);
}

INSTANTIATE_TEST_SUITE_P(Values, ExtremeValuesRoundTrip,
                         ::testing::Values(INT32_MIN, -1, 0, 1, 11, 127, 128, 1000, INT32_MAX));

TEST(RoundTrip, UnknownFieldsAreDropped) {
  const Bytes with_unknowns =
      hex("08 70 28 05 10 03 18 02 82 07 0A 08 01 18 0F 3B 3C 20 14 32 00 45 01 02 03 04");
  Result<SketchState> decoded = decode_state(with_unknowns);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  Result<Bytes> encoded = encode_state(*decoded);
  ASSERT_TRUE(encoded.has_value());
  EXPECT_EQ(*encoded, hex("08 70 10 03 18 02 82 07 06 18 0F 20 14 32 00"));
}

TEST(Decode, TruncationAnywhereInAValidMessageIsAnErrorOrAPrefixRecord) {
  // Cutting a valid message short must never crash or read past the cut; a
  // cut inside a field value is an error, a cut at a field boundary is not.
  SketchState state = everything_set();
  Result<Bytes> encoded = encode_state(state);
  ASSERT_TRUE(encoded.has_value());
  int errors = 0;
  for (std::size_t cut = 0; cut < encoded->size(); ++cut) {
    const Bytes prefix(encoded->begin(), encoded->begin() + static_cast<std::ptrdiff_t>(cut));
    Result<SketchState> decoded = decode_state(prefix);
    if (!decoded.has_value()) {
      ++errors;
      EXPECT_EQ(decoded.error().kind(), ErrorKind::ProtoDeserialization);
      EXPECT_NE(decoded.error().message().find("at offset"), std::string::npos)
          << decoded.error().message();
    }
  }
  EXPECT_GT(errors, 0);
  Result<SketchState> whole = decode_state(*encoded);
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(*whole, state);
}

// The common shape's reader against the general one, over messages as
// written (every field set or not, byte arrays of every size) and edited
// afterwards (bytes flipped, dropped, inserted, cut off; fields of other
// numbers, long tags and varints, negative values added): both readers
// give the same view, into the same bytes, or the same error. The view of
// decode_state_view_into replaces whatever the last message left in it.
TEST(Decode, TheCommonShapeReadsAsTheGeneralReaderDoes) {
  std::mt19937_64 random(8128);
  auto draw = [&](std::uint64_t bound) { return random() % bound; };
  const Bytes extras[] = {
      hex("28 01"),                        // unknown varint field
      hex("3A 02 AA BB"),                  // unknown length-delimited field
      hex("88 80 80 00 70"),               // type under a long tag
      hex("18 FF FF FF FF FF FF FF FF FF 01"),  // negative encoding version
      hex("10 80 80 80 80 80 80 80 80 80 01"),  // ten-byte num_values
      hex("10 FF FF FF FF FF FF FF FF 7F"),     // nine-byte num_values
      hex("82 07 00"),                     // an empty hll_state
      hex("82 07 FF FF FF FF 0F"),         // hll_state longer than int32
      hex("82 87 00 00"),                  // hll_state under a long tag
      hex("82 07 03 28 01 10"),            // unknown nested field
      hex("82 07 02 18 FF"),               // nested varint cut off
      hex("0D 01 02 03 04"),               // fixed32
      hex("20 E8 07"),                     // custom value type 1000
  };
  SketchStateView into;
  int common = 0;
  int general = 0;
  int refused = 0;
  for (int round = 0; round < 20000; ++round) {
    SketchState state;
    state.type = draw(4) == 0 ? AggregatorType::SUM : AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
    state.num_values = draw(3) == 0 ? random() : draw(300);
    state.encoding_version = static_cast<std::int32_t>(draw(4));
    state.value_type = ValueType::from_wire(static_cast<std::int32_t>(draw(3) == 0 ? 1000 + draw(5) : draw(13)));
    state.sparse_size = static_cast<std::int32_t>(draw(3) == 0 ? 0 : draw(1 << 20));
    state.precision = static_cast<std::int32_t>(draw(26));
    state.sparse_precision = static_cast<std::int32_t>(draw(27));
    if (draw(2)) state.data = Bytes(draw(3) == 0 ? draw(300) : draw(20), static_cast<std::uint8_t>(draw(256)));
    if (draw(2)) state.sparse_data = Bytes(draw(3) == 0 ? draw(300) : draw(40), static_cast<std::uint8_t>(draw(256)));
    Bytes message = test::unwrap(encode_state(state));
    const int edits = static_cast<int>(draw(4));
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = draw(message.size() + 1);
      const auto place = message.begin() + static_cast<std::ptrdiff_t>(at);
      switch (draw(5)) {
        case 0:
          if (at < message.size()) message[at] ^= static_cast<std::uint8_t>(1u << draw(8));
          break;
        case 1:
          if (at < message.size()) message.erase(place);
          break;
        case 2:
          message.insert(place, static_cast<std::uint8_t>(random()));
          break;
        case 3:
          message.resize(at);
          break;
        default: {
          const Bytes& extra = extras[draw(std::size(extras))];
          message.insert(draw(2) ? message.end() : message.begin(), extra.begin(), extra.end());
          break;
        }
      }
    }
    SketchStateView shortcut;
    const bool read = read_common_shape(message, shortcut);
    (read ? common : general) += 1;
    const Result<SketchStateView> expected = decode_state_view_general(message);
    const Result<SketchStateView> decoded = decode_state_view(message);
    const Status decoded_into = decode_state_view_into(message, into);
    const std::string what = "round " + std::to_string(round);
    ASSERT_EQ(decoded.has_value(), expected.has_value()) << what;
    ASSERT_EQ(decoded_into.has_value(), expected.has_value()) << what;
    if (!expected) {
      ASSERT_FALSE(read) << what;
      ++refused;
      ASSERT_EQ(decoded.error().message(), expected.error().message()) << what;
      ASSERT_EQ(decoded_into.error().message(), expected.error().message()) << what;
      continue;
    }
    auto same = [&](const SketchStateView& view, const char* which) {
      EXPECT_EQ(view.scalars, expected->scalars) << what << " " << which;
      for (auto field : {&SketchStateView::data, &SketchStateView::sparse_data}) {
        const std::optional<ByteView>& got = view.*field;
        const std::optional<ByteView>& want = (*expected).*field;
        ASSERT_EQ(got.has_value(), want.has_value()) << what << " " << which;
        if (got) {
          EXPECT_EQ(got->data(), want->data()) << what << " " << which;
          EXPECT_EQ(got->size(), want->size()) << what << " " << which;
        }
      }
    };
    same(*decoded, "decode_state_view");
    same(into, "decode_state_view_into");
    if (read) same(shortcut, "read_common_shape");
    if (::testing::Test::HasFailure()) return;
  }
  // Both readers, and both outcomes, were reached often.
  EXPECT_GT(common, 5000);
  EXPECT_GT(general, 3000);
  EXPECT_GT(refused, 1000);
}

}  // namespace
}  // namespace vantorelle
