#include "cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdio_ext.h>

#include "cli/failures.h"
#include "cli/standard_streams.h"

namespace vantorelle::cli {
namespace {

// False with errno set when a write fails.
bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size != 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

void write_standard_output(const std::uint8_t* data, std::size_t size) {
  if (standard_output_was_closed() && (size != 0 || __fpending(stdout) != 0)) {
    throw CommandError(file_error("<stdout>", EBADF));
  }
  // What printf left in the buffer goes first.
  if (std::fflush(stdout) == 0 && write_all(STDOUT_FILENO, data, size)) return;
  if (errno == EPIPE) throw OutputClosed();
  throw CommandError(file_error("<stdout>", errno));
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  if (path_ == "-") return;
  fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd_ != -1) {
    created_ = true;
  } else if (errno == EEXIST) {
    fd_ = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  }
  if (fd_ == -1) throw CommandError(file_error(path_, errno));
}

OutputFile::~OutputFile() {
  if (fd_ == -1) return;
  close(fd_);
  if (created_ && !written_) unlink(path_.c_str());
}

void OutputFile::write(const std::vector<std::uint8_t>& data) {
  if (fd_ == -1) {
    write_standard_output(data.data(), data.size());
    return;
  }
  struct stat info {};
  const bool truncated =
      fstat(fd_, &info) == 0 && (!S_ISREG(info.st_mode) || ftruncate(fd_, 0) == 0);
  if (!truncated || !write_all(fd_, data.data(), data.size())) {
    throw CommandError(file_error(path_, errno));
  }
  written_ = true;
}

}  // namespace vantorelle::cli
