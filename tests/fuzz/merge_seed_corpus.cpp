// Writes the seed corpus of merge_fuzz: pairs of serialised sketches made by
// the library at many precision pairs, in the input layout described in
// merge_fuzz.cpp, some with precisions chosen by the header instead.
//
//   merge_seed_corpus OUTPUT_DIR
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "hll/hyperloglogplusplus.h"
#include "tests/fuzz/merge_input.h"

namespace vantorelle {
namespace {

struct Shape {
  std::string name;
  Bytes bytes;
};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "merge_seed_corpus: %s\n", what.c_str());
  std::exit(1);
}

Shape shape(bool strings, std::int32_t p, std::int32_t sp, int count) {
  const std::string name = std::string(strings ? "string" : "long") + "_" + std::to_string(p) + "_" +
                           std::to_string(sp) + "_n" + std::to_string(count);
  Result<HyperLogLogPlusPlus> made = strings ? HyperLogLogPlusPlus::new_string_or_bytes(p, sp)
                                             : HyperLogLogPlusPlus::new_long(p, sp);
  if (!made) die(name + ": " + made.error().display());
  for (int i = 0; i < count; ++i) {
    const Status added = strings ? made->add_string("v" + std::to_string(i * 7 + p))
                                 : made->add_long(static_cast<std::int64_t>(i) * 1000003 + sp);
    if (!added) die(name + ": " + added.error().display());
  }
  Result<Bytes> bytes = made->to_bytes();
  if (!bytes) die(name + ": " + bytes.error().display());
  return {name, std::move(*bytes)};
}

// Header bytes that choose (p, sp) as merge_fuzz reads them.
std::pair<std::uint8_t, std::uint8_t> choose(std::int32_t p, std::int32_t sp) {
  std::uint8_t normal = 0;
  while (NORMAL_PRECISIONS[normal] != p) ++normal;
  const auto sparse = static_cast<std::uint8_t>(sp == 0 ? 0 : sp - p + 1);
  return {normal, sparse};
}

void write(const std::filesystem::path& path, std::uint8_t control, std::pair<std::uint8_t, std::uint8_t> first_choice,
           std::pair<std::uint8_t, std::uint8_t> second_choice, const Bytes& first, const Bytes& second) {
  Bytes input = {control,
                 first_choice.first,
                 first_choice.second,
                 second_choice.first,
                 second_choice.second,
                 static_cast<std::uint8_t>(first.size()),
                 static_cast<std::uint8_t>(first.size() >> 8),
                 static_cast<std::uint8_t>(first.size() >> 16)};
  input.insert(input.end(), first.begin(), first.end());
  input.insert(input.end(), second.begin(), second.end());
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
  if (!file) die("cannot write " + path.string());
}

}  // namespace
}  // namespace vantorelle

int main(int argc, char** argv) {
  using namespace vantorelle;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir(argv[1]);
  std::filesystem::create_directories(dir);
  // Sparse, normal and converted sketches at low, default and high
  // precisions; registers at 2^24 are left to the header's choices.
  const std::vector<Shape> shapes = {
      shape(false, 10, 10, 50),  shape(false, 10, 25, 300), shape(false, 12, 17, 0),
      shape(false, 14, 19, 200), shape(false, 15, 20, 1000), shape(false, 15, 0, 100),
      shape(false, 11, 0, 0),    shape(false, 10, 12, 2000), shape(false, 24, 25, 20),
      shape(false, 24, 24, 5),   shape(true, 13, 21, 400),   shape(true, 15, 20, 3),
      shape(true, 12, 0, 1000),
  };
  int written = 0;
  const auto none = choose(10, 0);
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    for (std::size_t j = 0; j < shapes.size(); ++j) {
      if ((i + 2 * j) % 3 != 0) continue;
      const auto control = static_cast<std::uint8_t>(((i * 5 + j) % 4) << 2);
      write(dir / (shapes[i].name + "+" + shapes[j].name + ".bin"), control, none, none, shapes[i].bytes,
            shapes[j].bytes);
      ++written;
    }
  }
  // Precisions set by the header: one side's sketch moved to normal
  // precisions across the range, with and without a sparse phase, against a
  // sketch at (15, 20); and raw bytes taken as stored sparse values.
  for (std::int32_t p : {10, 13, 16, 20, 24}) {
    for (std::int32_t sp : {0, p, 25}) {
      write(dir / ("chosen_" + std::to_string(p) + "_" + std::to_string(sp) + ".bin"), 1, choose(p, sp), none,
            shapes[3].bytes, shapes[4].bytes);
      ++written;
    }
  }
  write(dir / "raw_sparse_values.bin", 3, choose(12, 20), choose(15, 15), Bytes{0x81, 0x01, 0x05, 0x7F, 0xC0, 0x3E},
        Bytes{0x80, 0x80, 0x90, 0x01, 0x40});
  ++written;
  std::printf("%d seed inputs in %s\n", written, dir.string().c_str());
  return 0;
}
