// The hand-written codec against libprotobuf's generated parser and
// serializer for the same message layout.
#include <gtest/gtest.h>

#include <google/protobuf/unknown_field_set.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "aggregator_state.pb.h"
#include "state/state_message.h"

namespace vantorelle {
namespace {

using ProtoState = interop::AggregatorState;
using ProtoHll = interop::HllUniqueState;
using google::protobuf::UnknownFieldSet;

Bytes to_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string to_string(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The wire mapping of value types, stated here independently of the library.
ValueType value_type_of_wire(std::int32_t number) {
  if (number >= 1 && number <= 11) {
    return ValueType::default_ops(static_cast<DefaultOpsType>(number));
  }
  if (number >= 1000) return ValueType::custom(number);
  return ValueType::unknown();
}

// What the decoder must produce for a message that protobuf parsed to `m`
// (valid as long as hll_state occurs at most once; protobuf merges repeats).
SketchState expected_record(const ProtoState& m) {
  SketchState s;
  s.type = m.type() == 112 ? AggregatorType::HYPERLOGLOG_PLUS_UNIQUE : AggregatorType::SUM;
  s.num_values = m.num_values();
  s.encoding_version = m.encoding_version();
  s.value_type = value_type_of_wire(m.value_type());
  const ProtoHll& h = m.hll_state();
  s.sparse_size = h.sparse_size();
  s.precision = h.precision();
  s.sparse_precision = h.sparse_precision();
  if (h.has_data()) s.data = to_bytes(h.data());
  if (h.has_sparse_data()) s.sparse_data = to_bytes(h.sparse_data());
  return s;
}

// The protobuf message whose serialization our encoder must reproduce: the
// fields set exactly where the encoder writes them.
ProtoState proto_of(const SketchState& s) {
  ProtoState m;
  m.set_type(static_cast<std::int32_t>(s.type));
  m.set_num_values(s.num_values);
  if (s.encoding_version != 1) m.set_encoding_version(s.encoding_version);
  if (s.value_type.wire_number() != 0) m.set_value_type(s.value_type.wire_number());
  ProtoHll* h = m.mutable_hll_state();
  if (s.sparse_size != 0) h->set_sparse_size(s.sparse_size);
  if (s.precision != 0) h->set_precision(s.precision);
  if (s.sparse_precision != 0) h->set_sparse_precision(s.sparse_precision);
  if (s.data) h->set_data(to_string(*s.data));
  if (s.sparse_data) h->set_sparse_data(to_string(*s.sparse_data));
  return m;
}

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  bool coin() { return (rng_() & 1) != 0; }

  std::int32_t int32() {
    static constexpr std::int32_t kPool[] = {INT32_MIN, -1000, -3, -1, 0, 1, 2, 7, 11, 12,
                                             15, 20, 25, 100, 112, 127, 128, 999, 1000, INT32_MAX};
    if (coin()) return kPool[rng_() % std::size(kPool)];
    return static_cast<std::int32_t>(rng_());
  }

  std::uint64_t uint64() {
    switch (rng_() % 4) {
      case 0: return 0;
      case 1: return UINT64_MAX;
      case 2: return rng_() % 300;
      default: return rng_();
    }
  }

  std::string bytes() {
    static constexpr std::size_t kSizes[] = {0, 1, 127, 128, 16384};
    std::string out(kSizes[rng_() % std::size(kSizes)], '\0');
    for (char& c : out) c = static_cast<char>(rng_());
    return out;
  }

  // Every field present or absent at random.
  ProtoState message() {
    ProtoState m;
    if (coin()) m.set_type(coin() ? 112 : int32());
    if (coin()) m.set_num_values(uint64());
    if (coin()) m.set_encoding_version(int32());
    if (coin()) m.set_value_type(int32());
    if (coin()) {
      ProtoHll* h = m.mutable_hll_state();
      if (coin()) h->set_sparse_size(int32());
      if (coin()) h->set_precision(int32());
      if (coin()) h->set_sparse_precision(int32());
      if (coin()) h->set_data(bytes());
      if (coin()) h->set_sparse_data(bytes());
    }
    return m;
  }

  SketchState record() {
    SketchState s;
    s.type = coin() ? AggregatorType::HYPERLOGLOG_PLUS_UNIQUE : AggregatorType::SUM;
    s.num_values = uint64();
    s.encoding_version = coin() ? 1 : int32();
    s.value_type = value_type_of_wire(int32());
    s.sparse_size = coin() ? 0 : int32();
    s.precision = coin() ? 0 : int32();
    s.sparse_precision = coin() ? 0 : int32();
    if (coin()) s.data = to_bytes(bytes());
    if (coin()) s.sparse_data = to_bytes(bytes());
    return s;
  }

 private:
  std::mt19937_64 rng_;
};

Result<SketchState> decode(const std::string& wire) { return decode_state(to_bytes(wire)); }

// ------------------------------------------------------------- our encoder

class EncodedRecordsParse : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(EncodedRecordsParse, WithProtobufToTheSameFieldsAndBytes) {
  Generator gen(GetParam());
  for (int i = 0; i < 200; ++i) {
    const SketchState record = gen.record();
    Result<Bytes> encoded = encode_state(record);
    ASSERT_TRUE(encoded.has_value());

    ProtoState parsed;
    ASSERT_TRUE(parsed.ParseFromArray(encoded->data(), static_cast<int>(encoded->size())));
    EXPECT_TRUE(parsed.unknown_fields().empty());
    EXPECT_TRUE(parsed.has_type());
    EXPECT_TRUE(parsed.has_num_values());
    EXPECT_TRUE(parsed.has_hll_state());
    EXPECT_EQ(parsed.has_encoding_version(), record.encoding_version != 1);
    EXPECT_EQ(parsed.has_value_type(), record.value_type.wire_number() != 0);
    EXPECT_EQ(parsed.hll_state().has_data(), record.data.has_value());
    EXPECT_EQ(parsed.hll_state().has_sparse_data(), record.sparse_data.has_value());
    EXPECT_EQ(expected_record(parsed), record);

    // Same presence, same field order: protobuf writes the identical bytes.
    EXPECT_EQ(to_bytes(proto_of(record).SerializeAsString()), *encoded);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, EncodedRecordsParse, ::testing::Values(1, 2, 3));

// ------------------------------------------------------------- our decoder

class ProtobufMessagesDecode : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ProtobufMessagesDecode, ToTheFieldsProtobufReads) {
  Generator gen(GetParam());
  for (int i = 0; i < 200; ++i) {
    const ProtoState message = gen.message();
    Result<SketchState> decoded = decode(message.SerializeAsString());
    ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
    EXPECT_EQ(*decoded, expected_record(message));
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ProtobufMessagesDecode, ::testing::Values(4, 5, 6));

TEST(ProtobufMessagesDecode, FieldsInReverseOrderFromSeparateSerializations) {
  ProtoState type, count, version, value_type, hll;
  type.set_type(112);
  count.set_num_values(123456789);
  version.set_encoding_version(2);
  value_type.set_value_type(11);
  hll.mutable_hll_state()->set_precision(14);
  hll.mutable_hll_state()->set_sparse_precision(19);
  hll.mutable_hll_state()->set_sparse_data(std::string("\x01\x02", 2));

  // The nested fields themselves out of order too.
  ProtoHll sparse_first;
  sparse_first.set_sparse_data("\x07");
  ProtoHll precision_last;
  precision_last.set_precision(12);
  const std::string nested_wire = sparse_first.SerializeAsString() + precision_last.SerializeAsString();

  const std::string wire = hll.SerializeAsString() + value_type.SerializeAsString() +
                           version.SerializeAsString() + count.SerializeAsString() +
                           type.SerializeAsString();
  ProtoState reference;
  ASSERT_TRUE(reference.ParseFromString(wire));
  Result<SketchState> decoded = decode(wire);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_EQ(*decoded, expected_record(reference));
  EXPECT_EQ(decoded->precision, 14);
  EXPECT_EQ(decoded->value_type, ValueType::default_ops(DefaultOpsType::BYTES_OR_UTF8_STRING));

  // hll_state written by hand around the reordered nested fields.
  std::string hand = type.SerializeAsString();
  hand += "\x82\x07";
  hand += static_cast<char>(nested_wire.size());
  hand += nested_wire;
  ASSERT_TRUE(reference.ParseFromString(hand));
  decoded = decode(hand);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_EQ(*decoded, expected_record(reference));
  EXPECT_EQ(decoded->precision, 12);
  EXPECT_EQ(decoded->sparse_data, Bytes{7});
}

TEST(ProtobufMessagesDecode, RepeatedFieldsLastWinsButHllStateIsReplacedWhole) {
  Generator gen(7);
  for (int i = 0; i < 200; ++i) {
    const ProtoState first = gen.message();
    const ProtoState second = gen.message();
    const std::string wire = first.SerializeAsString() + second.SerializeAsString();
    // protobuf merges: scalars last-wins, embedded messages field by field.
    ProtoState merged;
    ASSERT_TRUE(merged.ParseFromString(wire));

    Result<SketchState> decoded = decode(wire);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().display();

    // Top-level scalars agree with protobuf's merge; the nested record is the
    // last hll_state alone.
    ProtoState expected = merged;
    if (second.has_hll_state()) {
      *expected.mutable_hll_state() = second.hll_state();
    }
    EXPECT_EQ(*decoded, expected_record(expected));
  }
}

TEST(ProtobufMessagesDecode, SecondHllStateDropsFieldsOnlyTheFirstHad) {
  ProtoState first;
  first.mutable_hll_state()->set_precision(15);
  first.mutable_hll_state()->set_data(std::string(4, '\x05'));
  ProtoState second;
  second.mutable_hll_state()->set_sparse_precision(20);
  const std::string wire = first.SerializeAsString() + second.SerializeAsString();

  ProtoState merged;
  ASSERT_TRUE(merged.ParseFromString(wire));
  ASSERT_EQ(merged.hll_state().precision(), 15);  // protobuf would keep it

  Result<SketchState> decoded = decode(wire);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->precision, 0);
  EXPECT_EQ(decoded->sparse_precision, 20);
  EXPECT_FALSE(decoded->data.has_value());
}

void add_every_wire_type(UnknownFieldSet* fields, int first_number) {
  fields->AddVarint(first_number, UINT64_MAX);
  fields->AddFixed32(first_number + 1, 0xDEADBEEF);
  fields->AddFixed64(first_number + 2, 0x0123456789ABCDEFull);
  fields->AddLengthDelimited(first_number + 3, std::string(200, 'z'));
  UnknownFieldSet* group = fields->AddGroup(first_number + 4);
  group->AddVarint(1, 5);
  group->AddLengthDelimited(2, "abc");
  UnknownFieldSet* inner = group->AddGroup(3);
  inner->AddFixed64(1, 1);
  inner->AddGroup(4);
}

TEST(ProtobufMessagesDecode, UnknownFieldsOfEveryWireTypeAreSkipped) {
  ProtoState message;
  message.set_type(112);
  message.set_num_values(3);
  message.set_encoding_version(2);
  message.mutable_hll_state()->set_precision(15);
  message.mutable_hll_state()->set_sparse_precision(20);
  message.mutable_hll_state()->set_sparse_data("\x10");
  add_every_wire_type(message.mutable_unknown_fields(), 5);
  add_every_wire_type(message.mutable_unknown_fields(), 536870900);  // near the largest number
  // Known numbers with another wire type.
  message.mutable_unknown_fields()->AddLengthDelimited(1, "\x08");
  message.mutable_unknown_fields()->AddFixed32(3, 7);
  message.mutable_unknown_fields()->AddVarint(112, 1);
  message.mutable_unknown_fields()->AddGroup(4)->AddVarint(4, 9);

  UnknownFieldSet* nested = message.mutable_hll_state()->mutable_unknown_fields();
  nested->AddVarint(1, 99);  // never used
  nested->AddLengthDelimited(1, "unused");
  nested->AddFixed64(5, 1);
  nested->AddVarint(6, 1);
  nested->AddGroup(2)->AddVarint(3, 4);
  add_every_wire_type(nested, 7);

  const std::string wire = message.SerializeAsString();
  ProtoState reference;
  ASSERT_TRUE(reference.ParseFromString(wire));
  ASSERT_FALSE(reference.unknown_fields().empty());

  Result<SketchState> decoded = decode(wire);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_EQ(*decoded, expected_record(reference));

  // Re-encoding writes only the known fields.
  Result<Bytes> encoded = encode_state(*decoded);
  ASSERT_TRUE(encoded.has_value());
  ProtoState reparsed;
  ASSERT_TRUE(reparsed.ParseFromArray(encoded->data(), static_cast<int>(encoded->size())));
  EXPECT_TRUE(reparsed.unknown_fields().empty());
  EXPECT_TRUE(reparsed.hll_state().unknown_fields().empty());
  EXPECT_EQ(expected_record(reparsed), expected_record(reference));
}

class NestedUnknownGroups : public ::testing::TestWithParam<int> {};

TEST_P(NestedUnknownGroups, AreSkippedUpToDepthHundred) {
  const int depth = GetParam();
  ProtoState message;
  message.set_type(112);
  UnknownFieldSet* level = message.mutable_unknown_fields();
  for (int i = 0; i < depth; ++i) level = level->AddGroup(9);
  const std::string wire = message.SerializeAsString();

  Result<SketchState> decoded = decode(wire);
  if (depth <= 100) {
    ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
    EXPECT_EQ(decoded->type, AggregatorType::HYPERLOGLOG_PLUS_UNIQUE);
  } else {
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().kind(), ErrorKind::ProtoDeserialization);
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, NestedUnknownGroups, ::testing::Values(1, 99, 100, 101, 150));

TEST(ProtobufMessagesDecode, NegativeInt32sWrittenInTenBytes) {
  ProtoState message;
  message.set_type(-112);
  message.set_encoding_version(-1);
  message.set_value_type(-3);
  message.mutable_hll_state()->set_sparse_size(INT32_MIN);
  message.mutable_hll_state()->set_precision(-5);
  message.mutable_hll_state()->set_sparse_precision(-1);
  const std::string wire = message.SerializeAsString();
  // Six int32 fields of 1 + 10 bytes each, plus the hll_state tag and length.
  ASSERT_EQ(wire.size(), 3 * 11 + 3 + 3 * 11);

  Result<SketchState> decoded = decode(wire);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
  EXPECT_EQ(decoded->type, AggregatorType::SUM);
  EXPECT_EQ(decoded->encoding_version, -1);
  EXPECT_EQ(decoded->value_type, ValueType::unknown());
  EXPECT_EQ(decoded->sparse_size, INT32_MIN);
  EXPECT_EQ(decoded->precision, -5);
  EXPECT_EQ(decoded->sparse_precision, -1);
}

TEST(ProtobufMessagesDecode, AbsentAndEmptyBytesStayDistinct) {
  ProtoState message;
  message.mutable_hll_state()->set_data("");
  Result<SketchState> decoded = decode(message.SerializeAsString());
  ASSERT_TRUE(decoded.has_value());
  ASSERT_TRUE(decoded->data.has_value());
  EXPECT_TRUE(decoded->data->empty());
  EXPECT_FALSE(decoded->sparse_data.has_value());

  Result<Bytes> encoded = encode_state(*decoded);
  ASSERT_TRUE(encoded.has_value());
  ProtoState reparsed;
  ASSERT_TRUE(reparsed.ParseFromArray(encoded->data(), static_cast<int>(encoded->size())));
  EXPECT_TRUE(reparsed.hll_state().has_data());
  EXPECT_FALSE(reparsed.hll_state().has_sparse_data());
}

}  // namespace
}  // namespace vantorelle
