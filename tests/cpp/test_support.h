// Helpers shared by the sketch tests: building states, deterministic hash
// streams, and small reference implementations of the encodings, the sparse
// layout and the state message, written bit by bit so that the tests do not
// check the engine against itself.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/result.h"
#include "fingerprint2011/fingerprint2011.h"
#include "hll/hyperloglogplusplus.h"
#include "hll/representation.h"
#include "state/sketch_state.h"

namespace vantorelle::test {

// ---------------------------------------------------------------- results

template <class T>
T unwrap(Result<T> result) {
  if (!result) throw std::runtime_error("unexpected error: " + result.error().display());
  return std::move(*result);
}

inline void unwrap(Status status) {
  if (!status) throw std::runtime_error("unexpected error: " + status.error().display());
}

inline std::string kind_name(ErrorKind kind) {
  std::string prefix(display_prefix(kind));
  return prefix.substr(0, prefix.size() - 2);
}

// Passes when `result` failed with exactly this kind and message.
template <class R>
::testing::AssertionResult fails_with(const R& result, ErrorKind kind, std::string_view message) {
  if (result.has_value()) return ::testing::AssertionFailure() << "succeeded; expected " << message;
  const SketchError& error = result.error();
  if (error.kind() != kind || error.message() != message) {
    return ::testing::AssertionFailure()
           << "failed with [" << kind_name(error.kind()) << "] " << error.message()
           << "\n  expected [" << kind_name(kind) << "] " << message;
  }
  return ::testing::AssertionSuccess();
}

// Passes when `result` failed with this kind and a message that starts with
// `prefix` (for messages whose tail is free wording).
template <class R>
::testing::AssertionResult fails_starting_with(const R& result, ErrorKind kind,
                                               std::string_view prefix) {
  if (result.has_value()) return ::testing::AssertionFailure() << "succeeded; expected " << prefix;
  const SketchError& error = result.error();
  if (error.kind() != kind || error.message().rfind(prefix, 0) != 0) {
    return ::testing::AssertionFailure()
           << "failed with [" << kind_name(error.kind()) << "] " << error.message()
           << "\n  expected [" << kind_name(kind) << "] " << prefix << "...";
  }
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------- states

inline SketchState sketch_state(std::int32_t precision, std::int32_t sparse_precision,
                                ValueType value_type = ValueType::default_ops(DefaultOpsType::UINT64)) {
  SketchState state;
  state.type = AggregatorType::HYPERLOGLOG_PLUS_UNIQUE;
  state.encoding_version = 2;
  state.value_type = value_type;
  state.precision = precision;
  state.sparse_precision = sparse_precision;
  return state;
}

inline HyperLogLogPlusPlus long_sketch(std::int32_t precision, std::int32_t sparse_precision) {
  return unwrap(HyperLogLogPlusPlus::new_long(precision, sparse_precision));
}

// ---------------------------------------------------------------- hashes

inline std::vector<std::uint64_t> random_hashes(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::uint64_t> hashes(count);
  for (std::uint64_t& h : hashes) h = random();
  return hashes;
}

inline std::vector<std::int64_t> random_longs(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::int64_t> values(count);
  for (std::int64_t& v : values) v = static_cast<std::int64_t>(random());
  return values;
}

// The hash add_long computes: Fingerprint2011 of the eight little-endian bytes.
inline std::uint64_t hash_of_long(std::int64_t value) {
  std::uint8_t bytes[8];
  const auto bits = static_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  return fingerprint2011(bytes, 8);
}

inline std::vector<std::uint64_t> hashes_of(const std::vector<std::int64_t>& values) {
  std::vector<std::uint64_t> hashes;
  hashes.reserve(values.size());
  for (std::int64_t v : values) hashes.push_back(hash_of_long(v));
  return hashes;
}

// ---------------------------------------------------------------- reference encodings

// 1 + the zero bits that follow the top `skip` bits (65 - skip if all zero).
inline std::uint32_t rho_after(std::uint64_t hash, std::int32_t skip) {
  std::uint32_t rho = 1;
  for (std::int32_t bit = 63 - skip; bit >= 0 && ((hash >> bit) & 1) == 0; --bit) ++rho;
  return rho;
}

inline std::uint32_t ref_flag(std::int32_t p, std::int32_t sp) {
  return std::uint32_t{1} << std::max(sp, p + 6);
}

inline std::uint32_t ref_sparse_value(std::uint64_t hash, std::int32_t p, std::int32_t sp) {
  const auto sparse_index = static_cast<std::uint32_t>(hash >> (64 - sp));
  const std::uint32_t low = sparse_index & ((std::uint32_t{1} << (sp - p)) - 1);
  if (low != 0) return sparse_index;
  return ref_flag(p, sp) | ((sparse_index >> (sp - p)) << 6) | rho_after(hash, sp);
}

// The sparse index a value stands for (plain: itself).
inline std::uint32_t ref_sparse_index(std::uint32_t value, std::int32_t p, std::int32_t sp) {
  const std::uint32_t flag = ref_flag(p, sp);
  if ((value & flag) == 0) return value;
  return ((value ^ flag) >> 6) << (sp - p);
}

// One value per sparse index (the largest), ascending.
inline std::vector<std::uint32_t> collapse(const std::vector<std::uint32_t>& values, std::int32_t p,
                                           std::int32_t sp) {
  std::map<std::uint32_t, std::uint32_t> by_index;
  for (std::uint32_t v : values) {
    std::uint32_t& held = by_index[ref_sparse_index(v, p, sp)];
    held = std::max(held, v);
  }
  std::vector<std::uint32_t> out;
  for (const auto& entry : by_index) out.push_back(entry.second);
  std::sort(out.begin(), out.end());
  return out;
}

inline std::vector<std::uint32_t> ref_sorted_values(const std::vector<std::uint64_t>& hashes,
                                                    std::int32_t p, std::int32_t sp) {
  std::vector<std::uint32_t> values;
  values.reserve(hashes.size());
  for (std::uint64_t h : hashes) values.push_back(ref_sparse_value(h, p, sp));
  return collapse(values, p, sp);
}

inline Bytes ref_registers(const std::vector<std::uint64_t>& hashes, std::int32_t p) {
  Bytes registers(std::size_t{1} << p, 0);
  for (std::uint64_t h : hashes) {
    std::uint8_t& r = registers[h >> (64 - p)];
    r = std::max(r, static_cast<std::uint8_t>(rho_after(h, p)));
  }
  return registers;
}

template <class T>
std::vector<T> concat(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---------------------------------------------------------------- sparse_data bytes

inline void put_varint(std::uint64_t value, Bytes& out) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

// Differences taken modulo 2^32, so a descending pair can be stored too.
inline Bytes difference_bytes(const std::vector<std::uint32_t>& values) {
  Bytes out;
  std::uint32_t previous = 0;
  for (std::uint32_t v : values) {
    put_varint(static_cast<std::uint32_t>(v - previous), out);
    previous = v;
  }
  return out;
}

inline std::vector<std::uint32_t> decode_difference_bytes(const Bytes& bytes) {
  std::vector<std::uint32_t> values;
  std::uint32_t running = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::uint32_t delta = 0;
    int shift = 0;
    while (true) {
      if (i >= bytes.size() || shift > 28) throw std::runtime_error("malformed test varint");
      const std::uint8_t b = bytes[i++];
      delta |= static_cast<std::uint32_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) break;
      shift += 7;
    }
    running += delta;
    values.push_back(running);
  }
  return values;
}

// ---------------------------------------------------------------- state message

inline void put_tag(std::uint32_t field, std::uint32_t wire_type, Bytes& out) {
  put_varint((std::uint64_t{field} << 3) | wire_type, out);
}

inline void put_int32(std::uint32_t field, std::int32_t value, Bytes& out) {
  put_tag(field, 0, out);
  put_varint(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)), out);
}

inline void put_bytes(std::uint32_t field, const Bytes& value, Bytes& out) {
  put_tag(field, 2, out);
  put_varint(value.size(), out);
  out.insert(out.end(), value.begin(), value.end());
}

// The AggregatorState message of a record, written field by field.
inline Bytes message_bytes(const SketchState& s) {
  Bytes out;
  put_int32(1, static_cast<std::int32_t>(s.type), out);
  put_tag(2, 0, out);
  put_varint(s.num_values, out);
  if (s.encoding_version != 1) put_int32(3, s.encoding_version, out);
  if (s.value_type.wire_number() != 0) put_int32(4, s.value_type.wire_number(), out);
  Bytes hll;
  if (s.sparse_size != 0) put_int32(2, s.sparse_size, hll);
  if (s.precision != 0) put_int32(3, s.precision, hll);
  if (s.sparse_precision != 0) put_int32(4, s.sparse_precision, hll);
  if (s.data) put_bytes(5, *s.data, hll);
  if (s.sparse_data) put_bytes(6, *s.sparse_data, hll);
  put_bytes(112, hll, out);
  return out;
}

// ---------------------------------------------------------------- inspection

// The registers a representation stands for at its normal precision.
inline Bytes registers_of(const Representation& representation) {
  if (const NormalRepresentation* normal = representation.normal()) {
    if (!normal->state().data) return Bytes(std::size_t{1} << normal->state().precision, 0);
    return *normal->state().data;
  }
  const SparseRepresentation* sparse = representation.sparse();
  if (sparse == nullptr) throw std::runtime_error("invalid representation");
  return *unwrap(sparse->to_normal()).state().data;
}

inline std::vector<std::uint32_t> sorted_values_of(const HyperLogLogPlusPlus& sketch) {
  const SparseRepresentation* sparse = sketch.representation().sparse();
  if (sparse == nullptr) throw std::runtime_error("sketch is not sparse");
  return sparse->sorted_values();
}

// Everything observable about a sketch, for "nothing changed" checks.
struct Snapshot {
  bool is_sparse = false;
  bool is_normal = false;
  SketchState state;
  std::vector<std::uint32_t> buffer;
  InputTypeSet allowed;
  Bytes bytes;
  std::int64_t result = 0;

  bool operator==(const Snapshot&) const = default;
};

inline Snapshot snapshot(const HyperLogLogPlusPlus& sketch) {
  Snapshot s;
  const Representation& r = sketch.representation();
  s.is_sparse = r.sparse() != nullptr;
  s.is_normal = r.normal() != nullptr;
  s.state = r.state();
  if (s.is_sparse) s.buffer = r.sparse()->sorted_buffer();
  s.allowed = sketch.allowed_input_types();
  s.bytes = unwrap(sketch.to_bytes());
  s.result = unwrap(sketch.result());
  return s;
}

}  // namespace vantorelle::test
