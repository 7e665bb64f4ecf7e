// Writes the seed corpus of grouped_fuzz: small tables in its input layout
// (see grouped_fuzz.cpp), with groups on both sides of the sparse switch,
// null keys and null values, at several precisions.
//
//   grouped_seed_corpus OUTPUT_DIR
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path out(argv[1]);
  std::filesystem::create_directories(out);
  std::mt19937 random(16);
  for (int seed = 0; seed < 24; ++seed) {
    std::vector<std::uint8_t> input = {static_cast<std::uint8_t>(seed % 5), static_cast<std::uint8_t>(seed % 4),
                                       static_cast<std::uint8_t>(seed % 2)};
    const int rows = 5 + seed * 7;
    for (int row = 0; row < rows; ++row) {
      const int key_length = static_cast<int>(random() % 4);
      input.push_back(static_cast<std::uint8_t>(key_length));
      for (int i = 0; i < key_length % 3 && key_length < 3; ++i) {
        input.push_back(static_cast<std::uint8_t>(random() % 3));
      }
      const std::uint32_t kind = random() % 10;
      if (kind < 6) {
        const int length = static_cast<int>(random() % 9);
        input.push_back(static_cast<std::uint8_t>(length));
        for (int i = 0; i < length; ++i) input.push_back(static_cast<std::uint8_t>(random()));
      } else if (kind < 8) {
        input.push_back(9);
      } else {
        // A burst: enough values at p = 10 to pass the sparse budget.
        input.push_back(static_cast<std::uint8_t>(10 + random() % 40));
        input.push_back(static_cast<std::uint8_t>(random()));
      }
    }
    std::ofstream file(out / ("seed-" + std::to_string(seed)), std::ios::binary);
    file.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
  }
  return 0;
}
