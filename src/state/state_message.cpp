#include "state/state_message.h"

#include "state/common_shape_reader.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "utils/var_int.h"

namespace vantorelle {
namespace {

using google::protobuf::io::CodedInputStream;
using google::protobuf::io::CodedOutputStream;
using WireFormat = google::protobuf::internal::WireFormatLite;

constexpr int kMaxGroupDepth = 100;
constexpr int kMaxTagBytes = 5;
constexpr int kMaxVarintBytes = 10;

// AggregatorState
constexpr int kTypeField = 1;
constexpr int kNumValuesField = 2;
constexpr int kEncodingVersionField = 3;
constexpr int kValueTypeField = 4;
constexpr int kHllStateField = 112;
// HllUniqueState
constexpr int kSparseSizeField = 2;
constexpr int kPrecisionField = 3;
constexpr int kSparsePrecisionField = 4;
constexpr int kDataField = 5;
constexpr int kSparseDataField = 6;

constexpr std::int32_t kDefaultEncodingVersion = 1;

// Large byte arrays are copied in blocks of this size. One big memcpy takes
// the "rep movsb" path, which on some x86 CPUs runs ten times slower when
// source and destination sit a few bytes apart modulo 4 KiB (the registers
// begin at an odd offset inside a message); blocks this small use vector
// moves, which do not suffer from it.
constexpr std::size_t kCopyBlock = 2048;

constexpr std::uint32_t varint_tag(int field) {
  return WireFormat::MakeTag(field, WireFormat::WIRETYPE_VARINT);
}
constexpr std::uint32_t bytes_tag(int field) {
  return WireFormat::MakeTag(field, WireFormat::WIRETYPE_LENGTH_DELIMITED);
}

// ---------------------------------------------------------------- encoding

std::size_t int32_field_size(std::int32_t value) {
  return 1 + CodedOutputStream::VarintSize32SignExtended(value);
}

std::size_t bytes_field_size(const Bytes& bytes) {
  return 1 + CodedOutputStream::VarintSize64(bytes.size()) + bytes.size();
}

// Writers into a buffer sized beforehand by the *_size functions above,
// byte for byte what a coded output stream writes.
//
// A negative int32 is written sign-extended to 64 bits, as protobuf does.
std::uint8_t* put_int32_field(std::uint8_t* out, int field, std::int32_t value) {
  out = put_varint64(out, varint_tag(field));
  return put_varint64(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(value)));
}

std::uint8_t* put_bytes_field(std::uint8_t* out, int field, const Bytes& bytes) {
  out = put_varint64(out, bytes_tag(field));
  out = put_varint64(out, bytes.size());
  // Nothing is copied from an empty array: its data() may be null, and
  // memcpy from null is undefined even for zero bytes.
  for (std::size_t done = 0; done < bytes.size(); done += kCopyBlock) {
    const std::size_t block = std::min(kCopyBlock, bytes.size() - done);
    std::memcpy(out, bytes.data() + done, block);
    out += block;
  }
  return out;
}

// ---------------------------------------------------------------- decoding

// Reads one AggregatorState from a flat buffer. Every read method returns
// false after recording the first error; the caller stops at once.
class Reader {
 public:
  explicit Reader(ByteView bytes)
      : bytes_(bytes), size_(static_cast<int>(bytes.size())), input_(bytes.data(), size_) {
    input_.SetRecursionLimit(kMaxGroupDepth);
  }

  bool read_aggregator_state(SketchStateView& state);
  std::string take_error() { return std::move(error_); }

 private:
  int position() const { return input_.CurrentPosition(); }
  bool at_end() const { return position() >= size_; }
  int bytes_left() const { return size_ - position(); }

  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  bool fail_varint(int offset);

  bool read_tag(std::uint32_t& tag);
  bool read_varint(std::uint64_t& value);
  bool read_int32(std::int32_t& value, int field);
  bool read_bytes(std::optional<ByteView>& target, int field);
  bool read_hll_state(SketchStateView& state);
  bool skip_field(std::uint32_t tag, int tag_offset);
  bool skip_group(int field, int start_offset);

  ByteView bytes_;
  int size_;
  CodedInputStream input_;
  std::string error_;
};

// ReadVarint64 fails only when no byte ending the varint comes within the
// first ten bytes: either the input ends first or the varint is too long.
bool Reader::fail_varint(int offset) {
  if (size_ - offset < kMaxVarintBytes) {
    return fail("truncated varint at offset " + std::to_string(offset));
  }
  return fail("varint longer than ten bytes at offset " + std::to_string(offset));
}

bool Reader::read_varint(std::uint64_t& value) {
  const int offset = position();
  if (!input_.ReadVarint64(&value)) return fail_varint(offset);
  return true;
}

bool Reader::read_tag(std::uint32_t& tag) {
  const int offset = position();
  std::uint64_t value = 0;
  if (!input_.ReadVarint64(&value)) {
    if (size_ - offset >= kMaxTagBytes) {
      return fail("tag longer than five bytes at offset " + std::to_string(offset));
    }
    return fail("truncated tag at offset " + std::to_string(offset));
  }
  if (position() - offset > kMaxTagBytes) {
    return fail("tag longer than five bytes at offset " + std::to_string(offset));
  }
  if (value > UINT32_MAX) {
    return fail("tag value " + std::to_string(value) + " exceeds 32 bits at offset " +
                std::to_string(offset));
  }
  tag = static_cast<std::uint32_t>(value);
  if (WireFormat::GetTagFieldNumber(tag) == 0) {
    return fail("field number 0 in tag at offset " + std::to_string(offset));
  }
  const int wire_type = static_cast<int>(WireFormat::GetTagWireType(tag));
  if (wire_type > WireFormat::WIRETYPE_FIXED32) {
    return fail("invalid wire type " + std::to_string(wire_type) + " in tag at offset " +
                std::to_string(offset));
  }
  return true;
}

bool Reader::read_int32(std::int32_t& value, int field) {
  const int offset = position();
  std::uint64_t raw = 0;
  if (!read_varint(raw)) return false;
  // Negative int32 values arrive sign-extended to 64 bits.
  const auto wide = static_cast<std::int64_t>(raw);
  if (wide < INT32_MIN || wide > INT32_MAX) {
    return fail("value " + std::to_string(wide) + " of int32 field " + std::to_string(field) +
                " at offset " + std::to_string(offset) + " is out of range");
  }
  value = static_cast<std::int32_t>(wide);
  return true;
}

bool Reader::read_bytes(std::optional<ByteView>& target, int field) {
  const int offset = position();
  std::uint64_t length = 0;
  if (!read_varint(length)) return false;
  if (length > static_cast<std::uint64_t>(bytes_left())) {
    return fail("length " + std::to_string(length) + " of field " + std::to_string(field) +
                " at offset " + std::to_string(offset) + " exceeds the " +
                std::to_string(bytes_left()) + " bytes left");
  }
  target = bytes_.subspan(static_cast<std::size_t>(position()), static_cast<std::size_t>(length));
  input_.Skip(static_cast<int>(length));
  return true;
}

// Copies straight out of the input into the record; no intermediate buffer
// and no zero-filling.
void copy_bytes(const std::optional<ByteView>& source, std::optional<Bytes>& target) {
  if (!source) return;
  Bytes& out = target.emplace();
  out.reserve(source->size());
  for (std::size_t done = 0; done < source->size(); done += kCopyBlock) {
    const std::size_t block = std::min(kCopyBlock, source->size() - done);
    out.insert(out.end(), source->begin() + done, source->begin() + done + block);
  }
}

bool Reader::skip_group(int field, int start_offset) {
  if (!input_.IncrementRecursionDepth()) {
    return fail("groups nested deeper than " + std::to_string(kMaxGroupDepth) + " at offset " +
                std::to_string(start_offset));
  }
  for (;;) {
    if (at_end()) {
      return fail("group of field " + std::to_string(field) + " started at offset " +
                  std::to_string(start_offset) + " is not terminated");
    }
    const int tag_offset = position();
    std::uint32_t tag = 0;
    if (!read_tag(tag)) return false;
    if (WireFormat::GetTagWireType(tag) == WireFormat::WIRETYPE_END_GROUP) {
      const int end_field = WireFormat::GetTagFieldNumber(tag);
      if (end_field != field) {
        return fail("end-group tag of field " + std::to_string(end_field) + " at offset " +
                    std::to_string(tag_offset) + " does not close the group of field " +
                    std::to_string(field) + " started at offset " + std::to_string(start_offset));
      }
      break;
    }
    if (!skip_field(tag, tag_offset)) return false;
  }
  input_.DecrementRecursionDepth();
  return true;
}

bool Reader::skip_field(std::uint32_t tag, int tag_offset) {
  switch (WireFormat::GetTagWireType(tag)) {
    case WireFormat::WIRETYPE_VARINT: {
      std::uint64_t ignored = 0;
      return read_varint(ignored);
    }
    case WireFormat::WIRETYPE_FIXED64:
    case WireFormat::WIRETYPE_FIXED32: {
      const int width = WireFormat::GetTagWireType(tag) == WireFormat::WIRETYPE_FIXED64 ? 8 : 4;
      if (bytes_left() < width) {
        return fail("truncated " + std::to_string(width * 8) + "-bit value at offset " +
                    std::to_string(position()));
      }
      input_.Skip(width);
      return true;
    }
    case WireFormat::WIRETYPE_LENGTH_DELIMITED: {
      const int offset = position();
      std::uint64_t length = 0;
      if (!read_varint(length)) return false;
      if (length > static_cast<std::uint64_t>(bytes_left())) {
        return fail("length " + std::to_string(length) + " of field " +
                    std::to_string(WireFormat::GetTagFieldNumber(tag)) + " at offset " +
                    std::to_string(offset) + " exceeds the " + std::to_string(bytes_left()) +
                    " bytes left");
      }
      input_.Skip(static_cast<int>(length));
      return true;
    }
    case WireFormat::WIRETYPE_START_GROUP:
      return skip_group(WireFormat::GetTagFieldNumber(tag), tag_offset);
    case WireFormat::WIRETYPE_END_GROUP:
      return fail("end-group tag without a start-group at offset " + std::to_string(tag_offset));
  }
  // read_tag has already refused wire types 6 and 7.
  return fail("invalid wire type in tag at offset " + std::to_string(tag_offset));
}

// The nested message is read while the position is before its declared end,
// so a field that starts inside it is read whole even if it runs past the
// end, and a negative length makes it empty. A declared length past the end
// of the input is an error: the message was cut short (a truncated file or
// value), and what is left of it would read as a smaller sketch.
bool Reader::read_hll_state(SketchStateView& view) {
  SketchState& state = view.scalars;
  const int offset = position();
  std::uint64_t raw = 0;
  if (!read_varint(raw)) return false;
  const auto length = static_cast<std::int64_t>(raw);
  if (length < INT32_MIN || length > INT32_MAX) {
    return fail("length " + std::to_string(length) + " of field " +
                std::to_string(kHllStateField) + " at offset " + std::to_string(offset) +
                " is out of the int32 range");
  }
  if (length > bytes_left()) {
    return fail("length " + std::to_string(length) + " of field " + std::to_string(kHllStateField) +
                " at offset " + std::to_string(offset) + " exceeds the " + std::to_string(bytes_left()) +
                " bytes left (the sketch was cut short)");
  }
  // A later hll_state replaces an earlier one whole.
  state.sparse_size = 0;
  state.precision = 0;
  state.sparse_precision = 0;
  view.data.reset();
  view.sparse_data.reset();

  const std::int64_t end = position() + std::max<std::int64_t>(length, 0);
  while (position() < end && !at_end()) {
    const int tag_offset = position();
    std::uint32_t tag = 0;
    if (!read_tag(tag)) return false;
    bool ok = true;
    switch (tag) {
      case varint_tag(kSparseSizeField):
        ok = read_int32(state.sparse_size, kSparseSizeField);
        break;
      case varint_tag(kPrecisionField):
        ok = read_int32(state.precision, kPrecisionField);
        break;
      case varint_tag(kSparsePrecisionField):
        ok = read_int32(state.sparse_precision, kSparsePrecisionField);
        break;
      case bytes_tag(kDataField):
        ok = read_bytes(view.data, kDataField);
        break;
      case bytes_tag(kSparseDataField):
        ok = read_bytes(view.sparse_data, kSparseDataField);
        break;
      default:
        ok = skip_field(tag, tag_offset);
        break;
    }
    if (!ok) return false;
  }
  return true;
}

bool Reader::read_aggregator_state(SketchStateView& view) {
  SketchState& state = view.scalars;
  while (!at_end()) {
    const int tag_offset = position();
    std::uint32_t tag = 0;
    if (!read_tag(tag)) return false;
    bool ok = true;
    switch (tag) {
      case varint_tag(kTypeField): {
        std::int32_t type = 0;
        ok = read_int32(type, kTypeField);
        state.type = type == static_cast<std::int32_t>(AggregatorType::HYPERLOGLOG_PLUS_UNIQUE)
                         ? AggregatorType::HYPERLOGLOG_PLUS_UNIQUE
                         : AggregatorType::SUM;
        break;
      }
      case varint_tag(kNumValuesField):
        ok = read_varint(state.num_values);
        break;
      case varint_tag(kEncodingVersionField):
        ok = read_int32(state.encoding_version, kEncodingVersionField);
        break;
      case varint_tag(kValueTypeField): {
        std::int32_t number = 0;
        ok = read_int32(number, kValueTypeField);
        state.value_type = ValueType::from_wire(number);
        break;
      }
      case bytes_tag(kHllStateField):
        ok = read_hll_state(view);
        break;
      default:
        ok = skip_field(tag, tag_offset);
        break;
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace

Result<Bytes> encode_state(const SketchState& state) {
  Bytes out;
  VANTORELLE_RETURN_IF_ERROR(encode_state_into(state, out));
  return out;
}

namespace {

template <class Out>
Status encode_into(const SketchState& state, Out& message) {
  std::size_t nested_size = 0;
  if (state.sparse_size != 0) nested_size += int32_field_size(state.sparse_size);
  if (state.precision != 0) nested_size += int32_field_size(state.precision);
  if (state.sparse_precision != 0) nested_size += int32_field_size(state.sparse_precision);
  if (state.data.has_value()) nested_size += bytes_field_size(*state.data);
  if (state.sparse_data.has_value()) nested_size += bytes_field_size(*state.sparse_data);

  const std::int32_t type = static_cast<std::int32_t>(state.type);
  const std::int32_t value_type = state.value_type.wire_number();
  std::size_t total_size = int32_field_size(type) + 1 +
                           CodedOutputStream::VarintSize64(state.num_values);
  if (state.encoding_version != kDefaultEncodingVersion) {
    total_size += int32_field_size(state.encoding_version);
  }
  if (value_type != 0) total_size += int32_field_size(value_type);
  total_size += CodedOutputStream::VarintSize32(bytes_tag(kHllStateField)) +
                CodedOutputStream::VarintSize64(nested_size) + nested_size;

  // The reader takes the nested length as an int32 and the coded streams
  // address at most INT_MAX bytes.
  if (total_size > static_cast<std::size_t>(INT_MAX)) {
    return Err(ErrorKind::ProtoSerialization,
               "message of " + std::to_string(total_size) + " bytes exceeds the limit of " +
                   std::to_string(INT_MAX) + " bytes");
  }

  const std::size_t start = message.size();
  message.resize(start + total_size);
  std::uint8_t* const begin = message.data() + start;
  std::uint8_t* out = put_int32_field(begin, kTypeField, type);
  out = put_varint64(out, varint_tag(kNumValuesField));
  out = put_varint64(out, state.num_values);
  if (state.encoding_version != kDefaultEncodingVersion) {
    out = put_int32_field(out, kEncodingVersionField, state.encoding_version);
  }
  if (value_type != 0) out = put_int32_field(out, kValueTypeField, value_type);
  out = put_varint64(out, bytes_tag(kHllStateField));
  out = put_varint64(out, nested_size);
  if (state.sparse_size != 0) out = put_int32_field(out, kSparseSizeField, state.sparse_size);
  if (state.precision != 0) out = put_int32_field(out, kPrecisionField, state.precision);
  if (state.sparse_precision != 0) out = put_int32_field(out, kSparsePrecisionField, state.sparse_precision);
  if (state.data.has_value()) out = put_bytes_field(out, kDataField, *state.data);
  if (state.sparse_data.has_value()) out = put_bytes_field(out, kSparseDataField, *state.sparse_data);
  const auto written = static_cast<std::size_t>(out - begin);
  if (written != total_size) {
    return Err(ErrorKind::ProtoSerialization,
               "wrote " + std::to_string(written) + " of " + std::to_string(total_size) + " bytes");
  }
  return {};
}

}  // namespace

Status encode_state_into(const SketchState& state, Bytes& out) { return encode_into(state, out); }

Status encode_state_into(const SketchState& state, MappedVector<std::uint8_t>& out) {
  return encode_into(state, out);
}

Result<SketchState> decode_state(ByteView bytes) {
  Result<SketchStateView> view = decode_state_view(bytes);
  if (!view) return view.take_error();
  return copy_state(*view);
}

Result<SketchStateView> decode_state_view(ByteView bytes) {
  SketchStateView view;
  if (read_common_shape(bytes, view)) [[likely]] return view;
  return decode_state_view_general(bytes);
}

Status decode_state_view_into(ByteView bytes, SketchStateView& view) {
  view = SketchStateView();
  if (read_common_shape(bytes, view)) [[likely]] return {};
  Result<SketchStateView> decoded = decode_state_view_general(bytes);
  if (!decoded) return decoded.take_error();
  view = std::move(*decoded);
  return {};
}

Result<SketchStateView> decode_state_view_general(ByteView bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
    return Err(ErrorKind::ProtoDeserialization,
               "input of " + std::to_string(bytes.size()) + " bytes exceeds the limit of " +
                   std::to_string(INT_MAX) + " bytes at offset 0");
  }
  SketchStateView view;
  Reader reader(bytes);
  if (!reader.read_aggregator_state(view)) {
    return Err(ErrorKind::ProtoDeserialization, reader.take_error());
  }
  return view;
}

SketchState copy_state(const SketchStateView& view) {
  SketchState state = view.scalars;
  copy_bytes(view.data, state.data);
  copy_bytes(view.sparse_data, state.sparse_data);
  return state;
}

}  // namespace vantorelle
