#include "cli/sketch_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "cli/failures.h"
#include "cli/standard_streams.h"
#include "state/state_validation.h"

namespace vantorelle::cli {
namespace {

Bytes read_file(const std::string& name, int fd) {
  Bytes data;
  std::size_t size = 0;
  while (true) {
    if (data.size() - size < 64 * 1024) data.resize(size + std::max<std::size_t>(size, 256 * 1024));
    const ssize_t got = read(fd, data.data() + size, data.size() - size);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      throw CommandError(file_error(name, errno));
    }
    size += static_cast<std::size_t>(got);
  }
  data.resize(size);
  return data;
}

Bytes read_path(const std::string& path, std::string* name) {
  if (path == "-") {
    *name = kStdinName;
    if (standard_input_was_closed()) throw CommandError(file_error(*name, EBADF));
    return read_file(*name, STDIN_FILENO);
  }
  *name = path;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) throw CommandError(file_error(path, errno));
  try {
    Bytes data = read_file(path, fd);
    close(fd);
    return data;
  } catch (...) {
    close(fd);
    throw;
  }
}

}  // namespace

SketchFile load_sketch(const std::string& path) {
  std::string name;
  const Bytes data = read_path(path, &name);
  const std::string not_a_sketch = name + ": not a sketch: ";
  if (data.empty()) {
    throw CommandError(not_a_sketch + "the file is empty (0 bytes); a sketch is never empty");
  }
  const ByteView bytes(data.data(), data.size());
  if (Status checked = validate_bytes(bytes); !checked) {
    throw CommandError(not_a_sketch + checked.error().display());
  }
  Result<HyperLogLogPlusPlus> sketch = HyperLogLogPlusPlus::from_bytes(bytes);
  if (!sketch) throw CommandError(not_a_sketch + sketch.error().display());
  return SketchFile{std::move(name), std::move(sketch).value()};
}

namespace {

void merge_into(HyperLogLogPlusPlus& merged, SketchFile file) {
  if (Status done = merged.merge(std::move(file.sketch)); !done) {
    throw CommandError(file.name + ": cannot merge: " + done.error().display());
  }
}

}  // namespace

HyperLogLogPlusPlus merge_sketches(const std::vector<std::string>& paths) {
  HyperLogLogPlusPlus merged = load_sketch(paths.front()).sketch;
  for (std::size_t i = 1; i < paths.size(); ++i) merge_into(merged, load_sketch(paths[i]));
  return merged;
}

HyperLogLogPlusPlus merge_files(std::vector<SketchFile> files) {
  HyperLogLogPlusPlus merged = std::move(files.front().sketch);
  for (std::size_t i = 1; i < files.size(); ++i) merge_into(merged, std::move(files[i]));
  return merged;
}

}  // namespace vantorelle::cli
