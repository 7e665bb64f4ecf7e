// The input layout of arrow_fuzz, shared with the program that writes its
// seeds: a table of one key column and one value column, each an Arrow array
// given buffer by buffer, so that offsets, view indices, dictionary indices,
// buffer counts and lengths are all the fuzzer's to choose.
//
//   byte 0      key kind (kKeyKinds), byte 1: value kind (kValueKinds)
//   byte 2      threads - 1 (mod 3)
//   array       key column, then value column, each:
//                 length (1 byte), offset (1 byte, mod 4), null count (1 byte),
//                 buffer count (1 byte, mod 7), then each buffer as a 2-byte
//                 little-endian size and its bytes; a dictionary kind is
//                 followed by its dictionary array in the same form
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vantorelle::test {

struct ArrowKind {
  const char* format;        // the array's format (the indices' for a dictionary)
  const char* values;        // a dictionary's value format, or nullptr
};

inline constexpr ArrowKind kKeyKinds[] = {
    {"l", nullptr}, {"i", nullptr}, {"c", nullptr}, {"L", nullptr}, {"b", nullptr},  {"tdD", nullptr},
    {"u", nullptr}, {"U", nullptr}, {"vu", nullptr}, {"z", nullptr}, {"Z", nullptr}, {"vz", nullptr},
    {"i", "u"},     {"c", "l"},     {"L", "vz"},
};
inline constexpr ArrowKind kValueKinds[] = {
    {"l", nullptr}, {"L", nullptr}, {"b", nullptr}, {"u", nullptr}, {"z", nullptr}, {"vu", nullptr},
    {"Z", nullptr}, {"s", "u"},     {"i", "l"},
};

// One array as the layout writes it.
struct ArraySpec {
  std::uint8_t length = 0;
  std::uint8_t offset = 0;
  std::uint8_t null_count = 0;
  std::vector<std::vector<std::uint8_t>> buffers;
};

inline void write_array(const ArraySpec& spec, std::vector<std::uint8_t>& out) {
  out.push_back(spec.length);
  out.push_back(spec.offset);
  out.push_back(spec.null_count);
  out.push_back(static_cast<std::uint8_t>(spec.buffers.size()));
  for (const auto& buffer : spec.buffers) {
    out.push_back(static_cast<std::uint8_t>(buffer.size() & 0xFF));
    out.push_back(static_cast<std::uint8_t>(buffer.size() >> 8));
    out.insert(out.end(), buffer.begin(), buffer.end());
  }
}

// Reads the input front to back; missing bytes read as zeros.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

  ArraySpec array() {
    ArraySpec spec;
    spec.length = byte();
    spec.offset = static_cast<std::uint8_t>(byte() % 4);
    spec.null_count = byte();
    const int buffers = byte() % 7;
    for (int b = 0; b < buffers; ++b) {
      std::size_t size = byte();
      size |= static_cast<std::size_t>(byte()) << 8;
      size = std::min(size, size_ - std::min(at_, size_));
      spec.buffers.emplace_back(data_ + at_, data_ + at_ + size);
      at_ += size;
    }
    return spec;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace vantorelle::test
