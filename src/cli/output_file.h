// The file a command writes ('-': standard output), opened before any input
// is read, so that a path that cannot be written fails at once. An existing
// file keeps its bytes until the new ones are written; a file the command
// created is removed again unless the command commits it.
#pragma once

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

  // Replaces the file's bytes with `data` and keeps the file.
  void write(const std::vector<std::uint8_t>& data);

 private:
  std::string path_;
  int fd_ = -1;
  bool created_ = false;
  bool written_ = false;
};

// Writes all of `data` to standard output; a CommandError when it cannot.
void write_standard_output(const std::uint8_t* data, std::size_t size);

}  // namespace vantorelle::cli
