// Arrow arrays built in memory for the engine's tests and its fuzz target:
// each owns its buffers, its schema and its dictionary. Rows are given as
// logical values (an integer's 64 bits, or bytes; nullopt for null) and
// written in the layout of any Arrow format the engine reads, with leading
// padding rows under the array's offset.
//
// guarded_copy() puts a buffer's last byte right before an unreadable page,
// so that a read past its end faults and the engine's probe can see it.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/arrow_abi.h"
#include "engine/column_chunks.h"

namespace vantorelle::test {

struct KeyValue {
  std::uint64_t integer = 0;  // raw 64 bits (integers, booleans)
  std::string bytes;          // text or binary
};
using Cell = std::optional<KeyValue>;

// A buffer whose end touches `guard` bytes of unreadable memory (at least
// a page).
class GuardedBuffer {
 public:
  explicit GuardedBuffer(const std::vector<std::uint8_t>& bytes, std::size_t guard = 0) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t readable = (bytes.size() + page - 1) / page * page;
    size_ = readable + std::max((guard + page - 1) / page * page, page);
    void* mapped = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    base_ = static_cast<std::uint8_t*>(mapped);
    if (readable != 0) mprotect(base_, readable, PROT_READ | PROT_WRITE);
    data_ = base_ + readable - bytes.size();
    if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
  }
  ~GuardedBuffer() { munmap(base_, size_); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;
  const std::uint8_t* data() const { return data_; }

 private:
  std::uint8_t* base_ = nullptr;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

class TestArray {
 public:
  TestArray() = default;
  TestArray(const TestArray&) = delete;
  TestArray& operator=(const TestArray&) = delete;

  ArrowArray array{};
  ArrowSchema schema{};
  std::string format;
  std::vector<std::vector<std::uint8_t>> buffers;
  std::vector<std::unique_ptr<GuardedBuffer>> guarded;
  std::vector<const void*> pointers;
  std::unique_ptr<TestArray> dictionary;

  // Points the C structs at the buffers (after every change to them).
  void finish() {
    pointers.clear();
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      pointers.push_back(i < guarded.size() && guarded[i] ? guarded[i]->data() : buffers[i].data());
    }
    if (!pointers.empty() && buffers[0].empty()) pointers[0] = nullptr;
    array.n_buffers = static_cast<std::int64_t>(pointers.size());
    array.buffers = pointers.data();
    schema.format = format.c_str();
    if (dictionary) {
      dictionary->finish();
      array.dictionary = &dictionary->array;
      schema.dictionary = &dictionary->schema;
    }
  }

  // Moves buffer i to the end of a readable region.
  void guard(std::size_t i) {
    guarded.resize(buffers.size());
    guarded[i] = std::make_unique<GuardedBuffer>(buffers[i]);
    finish();
  }

  template <class T>
  T* values(std::size_t buffer) {
    return reinterpret_cast<T*>(buffers[buffer].data());
  }
};

template <class T>
void put(std::vector<std::uint8_t>& out, T value) {
  const std::size_t at = out.size();
  out.resize(at + sizeof(T));
  std::memcpy(out.data() + at, &value, sizeof(T));
}

// Writes `cells` as an array of `format` (one of b c C s S i I l L, a
// temporal format, u U vu z Z vz) after `pad` padding rows.
inline std::unique_ptr<TestArray> make_array(const std::string& format, const std::vector<Cell>& cells,
                                             std::int64_t pad = 0) {
  auto out = std::make_unique<TestArray>();
  out->format = format;
  const std::int64_t rows = static_cast<std::int64_t>(cells.size()) + pad;
  std::vector<std::uint8_t> validity(static_cast<std::size_t>((rows + 7) / 8), 0xFF);
  std::int64_t nulls = 0;
  for (std::int64_t i = 0; i < pad; ++i) validity[i / 8] &= static_cast<std::uint8_t>(~(1u << (i % 8)));
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (cells[i]) continue;
    const std::int64_t at = pad + static_cast<std::int64_t>(i);
    validity[at / 8] &= static_cast<std::uint8_t>(~(1u << (at % 8)));
    ++nulls;
  }
  const auto cell = [&](std::int64_t row) -> const Cell& {
    static const Cell kNull;
    return row < pad ? kNull : cells[static_cast<std::size_t>(row - pad)];
  };
  out->buffers.push_back(nulls != 0 ? validity : std::vector<std::uint8_t>{});
  const char kind = format[0];
  if (format == "b") {
    std::vector<std::uint8_t> bits(static_cast<std::size_t>((rows + 7) / 8), 0);
    for (std::int64_t r = 0; r < rows; ++r) {
      if (cell(r) && cell(r)->integer) bits[r / 8] |= static_cast<std::uint8_t>(1u << (r % 8));
    }
    out->buffers.push_back(bits);
  } else if (format == "u" || format == "z" || format == "U" || format == "Z") {
    const bool large = kind == 'U' || kind == 'Z';
    std::vector<std::uint8_t> offsets, data;
    large ? put<std::int64_t>(offsets, 0) : put<std::int32_t>(offsets, 0);
    for (std::int64_t r = 0; r < rows; ++r) {
      if (cell(r)) data.insert(data.end(), cell(r)->bytes.begin(), cell(r)->bytes.end());
      large ? put<std::int64_t>(offsets, static_cast<std::int64_t>(data.size()))
            : put<std::int32_t>(offsets, static_cast<std::int32_t>(data.size()));
    }
    out->buffers.push_back(offsets);
    out->buffers.push_back(data);
  } else if (format == "vu" || format == "vz") {
    // Long values go to two data buffers in turn.
    std::vector<std::uint8_t> views, data[2];
    for (std::int64_t r = 0; r < rows; ++r) {
      std::uint8_t view[16] = {};
      if (cell(r)) {
        const std::string& bytes = cell(r)->bytes;
        const auto length = static_cast<std::int32_t>(bytes.size());
        std::memcpy(view, &length, 4);
        if (length <= 12) {
          std::memcpy(view + 4, bytes.data(), bytes.size());
        } else {
          const std::int32_t buffer = static_cast<std::int32_t>(r % 2);
          const auto offset = static_cast<std::int32_t>(data[buffer].size());
          std::memcpy(view + 4, bytes.data(), 4);
          std::memcpy(view + 8, &buffer, 4);
          std::memcpy(view + 12, &offset, 4);
          data[buffer].insert(data[buffer].end(), bytes.begin(), bytes.end());
        }
      }
      views.insert(views.end(), view, view + 16);
    }
    out->buffers.push_back(views);
    out->buffers.push_back(data[0]);
    out->buffers.push_back(data[1]);
    std::vector<std::uint8_t> sizes;
    put<std::int64_t>(sizes, static_cast<std::int64_t>(data[0].size()));
    put<std::int64_t>(sizes, static_cast<std::int64_t>(data[1].size()));
    out->buffers.push_back(sizes);
  } else {
    int width = 8;
    if (format == "c" || format == "C") width = 1;
    if (format == "s" || format == "S") width = 2;
    if (format == "i" || format == "I" || format == "tdD" || format == "tts" || format == "ttm") width = 4;
    std::vector<std::uint8_t> values;
    for (std::int64_t r = 0; r < rows; ++r) {
      const std::uint64_t raw = cell(r) ? cell(r)->integer : 0;
      const std::size_t at = values.size();
      values.resize(at + static_cast<std::size_t>(width));
      std::memcpy(values.data() + at, &raw, static_cast<std::size_t>(width));  // little-endian low bytes
    }
    out->buffers.push_back(values);
  }
  out->array.length = static_cast<std::int64_t>(cells.size());
  out->array.offset = pad;
  out->array.null_count = nulls != 0 ? nulls : 0;
  out->finish();
  return out;
}

// A dictionary-encoded array: `indices` (of `index_format`) into `entries`.
inline std::unique_ptr<TestArray> make_dictionary(const std::string& index_format, const std::vector<Cell>& indices,
                                                  const std::string& value_format, const std::vector<Cell>& entries,
                                                  std::int64_t pad = 0) {
  auto out = make_array(index_format, indices, pad);
  out->dictionary = make_array(value_format, entries);
  out->finish();
  return out;
}

// A column of the engine made of one array, named `name` (the array must
// outlive it).
inline engine::ColumnChunks one_chunk(const char* name, const TestArray& array) {
  engine::ColumnChunks column;
  column.schema = &array.schema;
  column.name = name;
  column.add(array.array);
  return column;
}

}  // namespace vantorelle::test
