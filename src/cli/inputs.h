// Reading the inputs of `count` and `sketch` into a LineReader: files and
// standard input ('-'), every one opened before any is read (a missing file
// is reported at once, not after a long read of the others), read in 1 MiB
// blocks, decompressed when its first bytes are gzip's magic bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "native/line_reader.h"

namespace vantorelle::cli {

struct ReadOptions {
  // The CSV column as messages name it (`column 3`, `column "id"`), when a
  // CSV column is read: an input with rows of which none has the column is
  // an error.
  std::optional<std::string> column;
};

// Reads every input in order (no paths: standard input) and returns the
// bytes read. Failures are CommandErrors that name the input.
std::uint64_t read_inputs(const std::vector<std::string>& paths, native::LineReader& reader,
                          const ReadOptions& options);

}  // namespace vantorelle::cli
