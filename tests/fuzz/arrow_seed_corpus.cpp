// Writes the seed corpus of arrow_fuzz: well-formed key and value columns of
// every kind it reads (arrow_input.h), with nulls, offsets and long values.
//
//   arrow_seed_corpus OUTPUT_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "../cpp/engine_arrays.h"
#include "arrow_input.h"

namespace {

using namespace vantorelle::test;

Cell cell_of(const std::string& format, std::mt19937& random) {
  if (random() % 6 == 0) return std::nullopt;
  const std::uint64_t x = random() % 40;
  if (format == "u" || format == "U" || format == "vu" || format == "z" || format == "Z" || format == "vz") {
    return KeyValue{0, x % 3 ? "v" + std::to_string(x) : "a value past twelve bytes " + std::to_string(x)};
  }
  return KeyValue{format == "b" ? x & 1 : x, {}};
}

ArraySpec spec_of(const TestArray& array) {
  ArraySpec spec;
  spec.length = static_cast<std::uint8_t>(array.array.length);
  spec.offset = static_cast<std::uint8_t>(array.array.offset);
  spec.null_count = static_cast<std::uint8_t>(array.array.null_count);
  spec.buffers = array.buffers;
  return spec;
}

void write_column(const ArrowKind& kind, int rows, std::mt19937& random, std::vector<std::uint8_t>& out) {
  const auto pad = static_cast<std::int64_t>(random() % 3);
  std::vector<Cell> cells;
  if (kind.values == nullptr) {
    for (int r = 0; r < rows; ++r) cells.push_back(cell_of(kind.format, random));
    write_array(spec_of(*make_array(kind.format, cells, pad)), out);
    return;
  }
  std::vector<Cell> entries;
  for (int e = 0; e < 5; ++e) entries.push_back(cell_of(kind.values, random));
  for (int r = 0; r < rows; ++r) {
    cells.push_back(random() % 7 ? Cell(KeyValue{random() % 5, {}}) : std::nullopt);
  }
  auto array = make_dictionary(kind.format, cells, kind.values, entries, pad);
  write_array(spec_of(*array), out);
  write_array(spec_of(*array->dictionary), out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path out(argv[1]);
  std::filesystem::create_directories(out);
  std::mt19937 random(22);
  int written = 0;
  for (std::size_t k = 0; k < std::size(kKeyKinds); ++k) {
    for (int variant = 0; variant < 2; ++variant) {
      const std::size_t v = (k + static_cast<std::size_t>(variant) * 5) % std::size(kValueKinds);
      const int rows = 1 + static_cast<int>(random() % 60);
      std::vector<std::uint8_t> input = {static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(v),
                                         static_cast<std::uint8_t>(variant)};
      write_column(kKeyKinds[k], rows, random, input);
      write_column(kValueKinds[v], rows, random, input);
      std::ofstream file(out / ("seed-" + std::to_string(written++)), std::ios::binary);
      file.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    }
  }
  return 0;
}
