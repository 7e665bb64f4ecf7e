#include "cli/inputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "cli/failures.h"
#include "cli/gzip_inflater.h"
#include "cli/mapped_window.h"
#include "cli/progress.h"
#include "cli/standard_streams.h"

namespace vantorelle::cli {
namespace {

// Bytes read per call: large enough that the per-call cost vanishes, small
// enough to stay in cache while the lines are split and hashed.
constexpr std::size_t kChunk = 1 << 20;

struct Input {
  std::string name;
  int fd = -1;
};

// The inputs, opened; closed again when this goes.
class OpenInputs {
 public:
  explicit OpenInputs(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
      if (path == "-") {
        inputs_.push_back({kStdinName, STDIN_FILENO});
        continue;
      }
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd == -1) throw CommandError(file_error(path, errno));
      inputs_.push_back({path, fd});
    }
  }
  ~OpenInputs() {
    for (const Input& input : inputs_) {
      if (input.fd != STDIN_FILENO) close(input.fd);
    }
  }
  OpenInputs(const OpenInputs&) = delete;
  OpenInputs& operator=(const OpenInputs&) = delete;

  const std::vector<Input>& inputs() const { return inputs_; }

  // The bytes of all inputs when every one is a regular file.
  std::optional<std::uint64_t> total_size() const {
    std::uint64_t total = 0;
    for (const Input& input : inputs_) {
      struct stat info {};
      if (fstat(input.fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
      total += static_cast<std::uint64_t>(info.st_size);
    }
    return total;
  }

 private:
  std::vector<Input> inputs_;
};

// Reads one input into the reader, decompressed when it is gzip.
class InputFeed {
 public:
  InputFeed(const Input& input, native::LineReader& reader, std::vector<std::uint8_t>& buffer,
            Progress& progress, std::uint64_t& total_read)
      : input_(input), reader_(reader), buffer_(buffer), progress_(progress),
        total_read_(total_read) {}

  void run() {
    if (input_.fd == STDIN_FILENO && standard_input_was_closed()) {
      throw CommandError(file_error(input_.name, EBADF));
    }
    // The first bytes tell gzip; a pipe may give them one at a time.
    std::uint8_t head[2];
    std::size_t head_size = 0;
    bool deciding = true;
    std::vector<std::uint8_t> joined;
    std::uint64_t size_to_map = 0;
    if (mappable(input_.fd, &size_to_map)) windows_.emplace(input_.fd, size_to_map, input_.name);
    while (true) {
      const std::uint8_t* chunk = nullptr;
      const std::size_t size = next_block(&chunk);
      std::size_t chunk_size = size;
      if (deciding) {
        if (size != 0 && head_size + size < sizeof head) {
          head[head_size++] = chunk[0];
          continue;
        }
        deciding = false;
        if (head_size != 0) {
          joined.assign(head, head + head_size);
          joined.insert(joined.end(), chunk, chunk + size);
          chunk = joined.data();
          chunk_size = joined.size();
        }
        if (chunk_size >= 2 && chunk[0] == 0x1f && chunk[1] == 0x8b) inflater_.emplace();
      }
      if (chunk_size != 0) feed(chunk, chunk_size);
      if (size == 0) break;
    }
    if (inflater_ && !inflater_->finish()) fail(inflater_->error());
    if (!reader_.end_input()) fail(reader_.error());
  }

 private:
  // The next block of the input (size 0 at its end): from the file's
  // mapping while it can be mapped, else read into the buffer.
  std::size_t next_block(const std::uint8_t** data) {
    if (windows_) {
      std::size_t size = 0;
      if (windows_->next(data, &size, buffer_.size())) {
        total_read_ += size;
        return size;
      }
      // Not mappable after all: read from where the mapping stopped.
      if (lseek(input_.fd, static_cast<off_t>(windows_->offset()), SEEK_SET) == -1) {
        throw CommandError(file_error(input_.name, errno));
      }
      windows_.reset();
    }
    *data = buffer_.data();
    return read_block();
  }

  std::size_t read_block() {
    while (true) {
      const ssize_t size = read(input_.fd, buffer_.data(), buffer_.size());
      if (size >= 0) {
        total_read_ += static_cast<std::uint64_t>(size);
        return static_cast<std::size_t>(size);
      }
      if (errno != EINTR) throw CommandError(file_error(input_.name, errno));
    }
  }

  void feed(const std::uint8_t* data, std::size_t size) {
    if (!inflater_) {
      if (!reader_.feed(data, size)) fail(reader_.error());
    } else if (!inflater_->feed(data, size, &InputFeed::feed_reader, &reader_)) {
      fail(inflater_->error().empty() ? reader_.error() : inflater_->error());
    }
    progress_.update(total_read_, reader_.values());
  }

  static bool feed_reader(void* reader, const std::uint8_t* data, std::size_t size) {
    return static_cast<native::LineReader*>(reader)->feed(data, size);
  }

  [[noreturn]] void fail(const std::string& reason) {
    throw CommandError(input_.name + ": " + reason);
  }

  const Input& input_;
  native::LineReader& reader_;
  std::vector<std::uint8_t>& buffer_;
  Progress& progress_;
  std::uint64_t& total_read_;
  std::optional<GzipInflater> inflater_;
  std::optional<MappedWindows> windows_;
};

}  // namespace

std::uint64_t read_inputs(const std::vector<std::string>& paths, native::LineReader& reader,
                          const ReadOptions& options) {
  const OpenInputs opened(paths.empty() ? std::vector<std::string>{"-"} : paths);
  Progress progress(opened.total_size());
  std::vector<std::uint8_t> buffer(kChunk);
  std::uint64_t total_read = 0;
  for (const Input& input : opened.inputs()) {
    const std::uint64_t values = reader.values();
    const std::uint64_t nulls = reader.nulls();
    const std::uint64_t short_rows = reader.short_rows();
    InputFeed(input, reader, buffer, progress, total_read).run();
    const std::uint64_t rows = reader.short_rows() - short_rows;
    if (options.column && rows != 0 && reader.values() == values && reader.nulls() == nulls) {
      throw CommandError(input.name + ": no row has " + *options.column + " (all " +
                         std::to_string(rows) + (rows == 1 ? " row has" : " rows have") +
                         " fewer fields)");
    }
  }
  return total_read;
}

}  // namespace vantorelle::cli
