// Peak memory of loading and merging adversarial sketches. This program
// replaces the global operator new and delete with counting ones, so every
// allocation the library makes is measured; no input may make from_bytes or
// merge_bytes hold more than 16 MiB (one register array at precision 24)
// beyond the input's own size at once, give or take 64 KiB of bookkeeping
// (small vectors, the registers of a precision being folded into while the
// old ones are still held).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "hll/hyperloglogplusplus.h"
#include "state/state_message.h"
#include "test_support.h"

namespace {

// Bytes currently allocated and the most held at once since the last reset.
std::size_t g_current = 0;
std::size_t g_peak = 0;

// Each block carries its size in a header; 16 bytes keep the alignment that
// operator new promises.
constexpr std::size_t HEADER = 16;

void* counted_allocate(std::size_t size) {
  void* block = std::malloc(size + HEADER);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  g_current += size;
  if (g_current > g_peak) g_peak = g_current;
  return static_cast<char*>(block) + HEADER;
}

void counted_free(void* pointer) noexcept {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - HEADER;
  g_current -= *static_cast<std::size_t*>(block);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return counted_allocate(size); }
void* operator new[](std::size_t size) { return counted_allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return counted_allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return counted_allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* pointer) noexcept { counted_free(pointer); }
void operator delete[](void* pointer) noexcept { counted_free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { counted_free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { counted_free(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { counted_free(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { counted_free(pointer); }

namespace vantorelle {
namespace {

using test::difference_bytes;
using test::message_bytes;
using test::put_bytes;
using test::put_int32;
using test::put_tag;
using test::put_varint;
using test::unwrap;

constexpr std::size_t MiB = std::size_t{1} << 20;
constexpr std::size_t ALLOWANCE = 16 * MiB + 64 * 1024;

// The most held at once while `call` runs, beyond what was held before.
std::size_t peak_of(const std::function<void()>& call) {
  const std::size_t before = g_current;
  g_peak = before;
  call();
  return g_peak - before;
}

void expect_bounded(const std::string& what, const Bytes& input, const std::function<void()>& call) {
  const std::size_t peak = peak_of(call);
  EXPECT_LE(peak, ALLOWANCE + input.size())
      << what << ": peak " << peak << " bytes for an input of " << input.size() << " bytes";
}

TEST(CountingAllocator, SeesTheLibrarysAllocations) {
  // The measure itself: registers at p = 20 are one MiB.
  const std::size_t peak = peak_of([] {
    HyperLogLogPlusPlus sketch = test::long_sketch(20, 0);
    unwrap(sketch.add_long(1));
  });
  EXPECT_GE(peak, MiB);
  EXPECT_LT(peak, 2 * MiB);
}

// A message whose byte fields declare lengths far beyond the input.
std::vector<std::pair<std::string, Bytes>> lying_lengths() {
  std::vector<std::pair<std::string, Bytes>> cases;
  for (std::uint64_t declared : {std::uint64_t{1} << 31, std::uint64_t{1} << 40, ~std::uint64_t{0} >> 1}) {
    for (std::uint32_t field : {5u, 6u}) {
      Bytes hll;
      put_int32(3, 15, hll);
      put_int32(4, 20, hll);
      put_tag(field, 2, hll);
      put_varint(declared, hll);
      hll.insert(hll.end(), 64, 0x01);
      Bytes message;
      put_int32(1, 112, message);
      put_int32(3, 2, message);
      put_tag(112, 2, message);
      put_varint(hll.size(), message);
      message.insert(message.end(), hll.begin(), hll.end());
      cases.emplace_back("field " + std::to_string(field) + " declaring " + std::to_string(declared), message);
      // The same length on the outer message.
      Bytes outer;
      put_int32(1, 112, outer);
      put_tag(112, 2, outer);
      put_varint(declared, outer);
      outer.insert(outer.end(), hll.begin(), hll.end());
      cases.emplace_back("hll_state declaring " + std::to_string(declared), outer);
    }
  }
  return cases;
}

TEST(MemoryBound, DeclaredLengthsAreNotAllocated) {
  HyperLogLogPlusPlus receiver = test::long_sketch(15, 20);
  for (const auto& item : lying_lengths()) {
    // (Named, not bound: lambdas cannot capture structured bindings in C++20.)
    const std::string& what = item.first;
    const Bytes& bytes = item.second;
    expect_bounded(what + " from_bytes", bytes, [&] { (void)HyperLogLogPlusPlus::from_bytes(bytes); });
    expect_bounded(what + " merge_bytes", bytes, [&] { (void)receiver.merge_bytes(bytes); });
  }
}

// Sparse states whose stored data is as large as the message allows it to
// be: values that take one byte each (repeated zeros decode to one value
// per byte), far over the sparse budget, at the largest precisions.
std::vector<std::pair<std::string, Bytes>> large_sparse_states() {
  std::vector<std::pair<std::string, Bytes>> cases;
  for (const auto& [p, sp] : {std::pair{24, 25}, std::pair{24, 24}, std::pair{10, 25}, std::pair{15, 20}}) {
    SketchState zeros = test::sketch_state(p, sp);
    zeros.sparse_data = Bytes(4 * MiB, 0);
    cases.emplace_back("4 MiB of zero differences at (" + std::to_string(p) + ", " + std::to_string(sp) + ")",
                       message_bytes(zeros));
    SketchState ones = test::sketch_state(p, sp);
    ones.sparse_data = Bytes(2 * MiB, 1);
    cases.emplace_back("2 MiB of one-differences at (" + std::to_string(p) + ", " + std::to_string(sp) + ")",
                       message_bytes(ones));
  }
  return cases;
}

void merge_each_into(const std::vector<std::pair<std::int32_t, std::int32_t>>& receivers) {
  for (const auto& item : large_sparse_states()) {
    const std::string& what = item.first;
    const Bytes& bytes = item.second;
    for (const auto& [p, sp] : receivers) {
      HyperLogLogPlusPlus receiver = test::long_sketch(p, sp);
      unwrap(receiver.add_long(7));
      expect_bounded(what + " merged into (" + std::to_string(p) + ", " + std::to_string(sp) + ")", bytes, [&] {
        try {
          (void)receiver.merge_bytes(bytes);
        } catch (const std::exception&) {
          // Malformed stored data may end a merge early; the peak counts.
        }
      });
    }
  }
}

TEST(MemoryBound, LargeStoredSparseDataLoads) {
  for (const auto& item : large_sparse_states()) {
    const std::string& what = item.first;
    const Bytes& bytes = item.second;
    expect_bounded(what + " from_bytes", bytes, [&] { (void)HyperLogLogPlusPlus::from_bytes(bytes); });
  }
}

// Registers take stored values one at a time from a decoder.
TEST(MemoryBound, LargeStoredSparseDataMergedIntoRegisters) {
  merge_each_into({{24, 0}, {12, 0}});
}

// A sparse receiver reads the other's stored values from its bytes as they
// are decoded and holds only their collapsed union.
TEST(MemoryBound, LargeStoredSparseDataMergedIntoSparse) {
  merge_each_into({{24, 25}, {10, 10}, {15, 20}});
}

TEST(MemoryBound, RegistersAtPrecision24) {
  SketchState normal = test::sketch_state(24, 0);
  normal.data = Bytes(std::size_t{1} << 24, 3);
  const Bytes bytes = message_bytes(normal);
  expect_bounded("normal (24, 0) from_bytes", bytes, [&] { (void)HyperLogLogPlusPlus::from_bytes(bytes); });
  for (const auto& [p, sp] : {std::pair{24, 25}, std::pair{10, 10}, std::pair{24, 0}, std::pair{12, 0}}) {
    HyperLogLogPlusPlus receiver = test::long_sketch(p, sp);
    unwrap(receiver.add_long(7));
    expect_bounded("normal (24, 0) merged into (" + std::to_string(p) + ", " + std::to_string(sp) + ")", bytes,
                   [&] { (void)receiver.merge_bytes(bytes); });
  }
  // Registers below the maximum precision declared by a sparse message
  // that converts: (24, 25) with stored data over its budget.
  SketchState over_budget = test::sketch_state(24, 25);
  over_budget.sparse_data = difference_bytes(test::ref_sorted_values(test::random_hashes(20000, 5), 24, 25));
  const Bytes sparse_bytes = message_bytes(over_budget);
  HyperLogLogPlusPlus normal_receiver = unwrap(HyperLogLogPlusPlus::from_bytes(bytes));
  expect_bounded("sparse (24, 25) merged into normal (24, 0)", sparse_bytes,
                 [&] { (void)normal_receiver.merge_bytes(sparse_bytes); });
}

}  // namespace
}  // namespace vantorelle
