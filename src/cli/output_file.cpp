#include "cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The temporary file being written, removed by the handler of a signal that
// ends the command (a plain array: the handler may only call unlink).
char pending_path[PATH_MAX + 64] = {};

void remove_pending_and_die(int signal) {
  if (pending_path[0] != '\0') unlink(pending_path);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void on_ending_signals(void (*handler)(int)) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, handler);
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
  // Opened now (not created: a run that fails leaves no file), so that a
  // path that cannot be written fails before any input is read.
  const int fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd != -1) {
    struct stat info {};
    regular_ = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    mode_ = info.st_mode & 07777;
    if (!regular_) {
      fd_ = fd;  // (a pipe or device is written as it is)
      return;
    }
    close(fd);
  } else if (errno != ENOENT) {
    throw CommandError(file_error(path_, errno));
  } else {
    // A new file: its directory must take it.
    const int probe = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (probe == -1) throw CommandError(file_error(path_, errno));
    struct stat info {};
    mode_ = fstat(probe, &info) == 0 ? info.st_mode & 07777 : 0644;
    close(probe);
    unlink(path_.c_str());
  }
}

OutputFile::~OutputFile() {
  if (fd_ != -1) close(fd_);
}

void OutputFile::write(const std::vector<std::uint8_t>& data) {
  if (path_ == "-") {
    write_standard_output(data.data(), data.size());
    return;
  }
  if (!regular_ && fd_ != -1) {
    if (!write_all(fd_, data.data(), data.size())) throw CommandError(file_error(path_, errno));
    return;
  }
  // A regular file is written whole beside itself, then renamed over the
  // path: a write that fails (a full disk, a size limit) or a signal leaves
  // the file as it was, or absent. (A path through a link replaces the file
  // it names.)
  char resolved[PATH_MAX];
  const std::string target = realpath(path_.c_str(), resolved) != nullptr ? std::string(resolved) : path_;
  const std::size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temporary = directory + "." + name + ".vantorelle-XXXXXX";
  if (temporary.size() >= sizeof pending_path) throw CommandError(file_error(path_, ENAMETOOLONG));
  std::memcpy(pending_path, temporary.c_str(), temporary.size() + 1);
  on_ending_signals(remove_pending_and_die);
  const int fd = mkostemp(pending_path, O_CLOEXEC);
  int failure = fd == -1 ? errno : 0;
  if (fd != -1) {
    if (fchmod(fd, mode_) != 0 || !write_all(fd, data.data(), data.size())) failure = errno;
    if (close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && rename(pending_path, target.c_str()) != 0) failure = errno;
    if (failure != 0) unlink(pending_path);
  }
  on_ending_signals(SIG_DFL);
  pending_path[0] = '\0';
  if (failure != 0) throw CommandError(file_error(path_, failure));
}

}  // namespace vantorelle::cli
