#include "cli/gzip_inflater.h"

#include <new>

namespace vantorelle::cli {
namespace {

// Window bits of a gzip stream (15, plus 16 for the gzip wrapper).
constexpr int kGzipWindowBits = 15 + 16;

}  // namespace

GzipInflater::GzipInflater() : piece_(kPieceBytes) {}

GzipInflater::~GzipInflater() {
  if (initialised_) inflateEnd(&stream_);
}

bool GzipInflater::fail(const std::string& reason) {
  error_ = "not valid gzip data: " + reason;
  return false;
}

bool GzipInflater::feed(const std::uint8_t* data, std::size_t size, Sink sink, void* context) {
  while (true) {
    if (!in_member_) {
      while (size != 0 && *data == 0) {
        ++data;
        --size;
      }
      if (size == 0) return true;
      // A new member starts with the magic bytes (one of them may end this
      // piece of input).
      if (data[0] != 0x1f || (size > 1 && data[1] != 0x8b)) {
        return fail("bytes after the last member that start no new one");
      }
      const int status = initialised_ ? inflateReset(&stream_)
                                      : inflateInit2(&stream_, kGzipWindowBits);
      if (status == Z_MEM_ERROR) throw std::bad_alloc();
      if (status != Z_OK) return fail(zError(status));
      initialised_ = true;
      in_member_ = true;
    }
    // zlib counts in 32-bit unsigned ints; the pieces given here are smaller.
    stream_.next_in = const_cast<Bytef*>(data);
    stream_.avail_in = static_cast<uInt>(size);
    int status = Z_OK;
    do {
      stream_.next_out = piece_.data();
      stream_.avail_out = static_cast<uInt>(piece_.size());
      status = inflate(&stream_, Z_NO_FLUSH);
      if (status == Z_MEM_ERROR) throw std::bad_alloc();
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
        return fail(stream_.msg != nullptr ? stream_.msg : zError(status));
      }
      const std::size_t made = piece_.size() - stream_.avail_out;
      if (made != 0 && !sink(context, piece_.data(), made)) return false;
      // Z_BUF_ERROR: no progress possible until more input comes.
    } while (status == Z_OK && stream_.avail_out == 0);
    data = stream_.next_in;
    size = stream_.avail_in;
    if (status != Z_STREAM_END) return true;
    in_member_ = false;
  }
}

bool GzipInflater::finish() {
  if (in_member_) return fail("the input ends inside a member (a cut file?)");
  return true;
}

}  // namespace vantorelle::cli
