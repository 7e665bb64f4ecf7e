// The file a command writes ('-': standard output), checked before any input
// is read, so that a path that cannot be written fails at once. A regular
// file is replaced whole (written beside itself, then renamed over its
// path): a run that fails, or is stopped by a signal, leaves an existing
// file as it was and creates none. A pipe or device is written as it is.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vantorelle::cli {

class OutputFile {
 public:
  explicit OutputFile(std::string path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Replaces the file's bytes with `data`.
  void write(const std::vector<std::uint8_t>& data);

 private:
  std::string path_;
  int fd_ = -1;          // a pipe or device, open from the start
  bool regular_ = true;  // (or a file not there yet)
  mode_t mode_ = 0644;   // the file's, or what a new one would get
};

// Writes all of `data` to standard output; a CommandError when it cannot.
void write_standard_output(const std::uint8_t* data, std::size_t size);

}  // namespace vantorelle::cli
