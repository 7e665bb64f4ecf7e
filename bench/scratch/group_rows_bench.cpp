// Scratch: times group_rows alone over 2,000,000 rows of int64 or
// "country-<n>" keys; with "m", the peak memory of one call beyond the input.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include "engine/bytes_groups.h"
#include "engine/group_keys.h"
#include "engine/grouped_aggregation.h"
#include "engine_arrays.h"
using namespace vantorelle;
using namespace vantorelle::engine;
static long status_kb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  return -1;
}
int main(int argc, char** argv) {
  const int groups = atoi(argv[1]);
  const bool strings = argv[2][0] == 's';
  const int threads = atoi(argv[3]);
  const bool memory = argc > 4 && argv[4][0] == 'm';
  const bool constant = argc > 4 && argv[4][0] == 'c';
  const int rows = 2000000;
  std::vector<std::uint32_t> numbers(rows);
  {
    std::ifstream in("numbers-" + std::to_string(groups) + ".u32", std::ios::binary);
    in.read(reinterpret_cast<char*>(numbers.data()), rows * 4);
    if (!in) { fprintf(stderr, "run make_numbers.py %d\n", groups); return 2; }
  }
  std::vector<test::Cell> cells;
  for (int i = 0; i < rows; ++i) {
    std::uint64_t g = numbers[i];
    test::KeyValue v; v.integer = g; v.bytes = "country-" + std::to_string(g);
    cells.push_back(v);
  }
  // argv[2]: i (int64), s (string) or t (two int64 columns, n / 1000 and n % 1000).
  const bool two = argv[2][0] == 't';
  std::vector<test::Cell> low;
  if (two) {
    for (test::Cell& cell : cells) {
      low.push_back(test::KeyValue{cell->integer % 1000, {}});
      cell->integer /= 1000;
    }
  }
  auto array = test::make_array(strings ? "u" : "l", cells, 0);
  auto low_array = test::make_array("l", low, 0);
  cells.clear(); cells.shrink_to_fit();
  ColumnChunks col = test::one_chunk("g", *array);
  std::vector<ColumnChunks> keys{col};
  if (two) keys.push_back(test::one_chunk("g_low", *low_array));
  auto formats = check_key_columns(keys).value();
  if (argc > 4 && argv[4][0] == 'k') {
    // The key columns' checks alone.
    double fastest = 1e9;
    for (int it = 0; it < 10; ++it) {
      auto t0 = std::chrono::steady_clock::now();
      (void)check_key_columns(keys).value();
      fastest = std::min(fastest, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    printf("check_key_columns: %.2f ms\n", fastest * 1e3);
    return 0;
  }
  if (argc > 4 && argv[4][0] == 'S') {
    // The whole aggregation's peak: grouping, coding and the sketches.
    std::mt19937_64 r(7);
    std::vector<test::Cell> value_cells;
    for (int i = 0; i < rows; ++i) value_cells.push_back(test::KeyValue{r() % 1000000, {}});
    auto value_array = test::make_array("l", value_cells, 0);
    value_cells.clear(); value_cells.shrink_to_fit();
    ColumnChunks values = test::one_chunk("v", *value_array);
    { std::ofstream clear("/proc/self/clear_refs"); clear << "5"; }
    const long before = status_kb("VmRSS:");
    auto got = sketch_groups(keys, values, std::nullopt, 15, 20, threads);
    const long peak = status_kb("VmHWM:");
    printf("%s %d groups %d threads: sketch_groups peak %.1f bytes/row beyond input\n", strings ? "string" : "int",
           groups, threads, (peak - before) * 1024.0 / rows);
    return 0;
  }
  if (memory) {
    { std::ofstream clear("/proc/self/clear_refs"); clear << "5"; }
    const long before = status_kb("VmRSS:");
    auto g = group_rows(keys, formats, rows, threads);
    const long peak = status_kb("VmHWM:");
    const double out = (g.value().group_of_row.capacity() * 4.0 + g.value().first_rows.capacity() * 8.0);
    printf("%s %d groups %d threads: %.1f bytes/row beyond input (%.1f beyond output)\n", strings ? "string" : "int",
           groups, threads, (peak - before) * 1024.0 / rows, ((peak - before) * 1024.0 - out) / rows);
    return 0;
  }
  double best = 1e9, best_cpu = 1e9;
  const auto cpu_now = [] {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
  };
  for (int it = 0; it < 10; ++it) {
    const double c0 = cpu_now();
    auto t0 = std::chrono::steady_clock::now();
    // argv[5]: r or p, a bytes column split by range or partition.
    const char split = argc > 5 ? argv[5][0] : 'a';
    std::size_t found = 0;
    if (split == 'a' || !strings) {
      found = group_rows(keys, formats, rows, threads, constant ? KeyHashing::Constant : KeyHashing::Seeded).value().groups();
    } else {
      found = grouping::group_bytes_column(col, formats[0].values, rows, threads, KeyHashing::Seeded,
                                           split == 'p' ? grouping::BytesSplit::Partitions : grouping::BytesSplit::Ranges)->groups();
    }
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    best_cpu = std::min(best_cpu, cpu_now() - c0);
    if (found != (size_t)groups && !getenv("ANY")) return 1;
  }
  printf("%s %d groups %d threads: %.2f ms (cpu %.2f ms)\n", strings ? "string" : two ? "two-column" : "int", groups, threads, best * 1e3,
         best_cpu * 1e3);
}
