// The decompressed bytes of a gzip input of one or more members (as
// `cat a.gz b.gz` makes), in pieces of at most kPieceBytes however well the
// input compresses. Zero bytes after a member are padding, as gzip itself
// reads them; any other bytes after the last member are an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

namespace vantorelle::cli {

class GzipInflater {
 public:
  static constexpr std::size_t kPieceBytes = 4 << 20;
  // Receives each decompressed piece; false stops the inflation.
  using Sink = bool (*)(void* context, const std::uint8_t* data, std::size_t size);

  GzipInflater();
  ~GzipInflater();
  GzipInflater(const GzipInflater&) = delete;
  GzipInflater& operator=(const GzipInflater&) = delete;

  // Decompresses the next compressed bytes. False when they are not valid
  // gzip data (`error()` says why) or the sink stopped (`error()` empty).
  bool feed(const std::uint8_t* data, std::size_t size, Sink sink, void* context);
  // The input has ended: false unless it ended between members.
  bool finish();

  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& reason);

  z_stream stream_{};
  bool initialised_ = false;
  bool in_member_ = false;
  std::vector<std::uint8_t> piece_;
  std::string error_;
};

}  // namespace vantorelle::cli
