// Sketch files: read whole, checked byte by byte before a sketch is built
// from them (a corrupt file is reported where it is read, never met later
// as an internal failure), and merged in the order given.
#pragma once

#include <string>
#include <vector>

#include "hll/hyperloglogplusplus.h"

namespace vantorelle::cli {

struct SketchFile {
  std::string name;  // as messages name it ('-' is <stdin>)
  HyperLogLogPlusPlus sketch;
};

// CommandError "PATH: reason" or "PATH: not a sketch: reason".
SketchFile load_sketch(const std::string& path);

// The files merged into the first; CommandError "PATH: cannot merge: reason".
HyperLogLogPlusPlus merge_sketches(const std::vector<std::string>& paths);
// The same, of files already loaded.
HyperLogLogPlusPlus merge_files(std::vector<SketchFile> files);

}  // namespace vantorelle::cli
