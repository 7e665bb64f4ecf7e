// The command's gzip reading against the bytes that were compressed: one or
// several members, zero padding between and after them, the input cut into
// pieces anywhere (a magic byte alone at a piece's end included); and the
// errors of a cut member and of bytes after the last member.
#include <gtest/gtest.h>

#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "cli/gzip_inflater.h"

namespace vantorelle::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One gzip member of `text`, as gzip writes it.
Bytes gzip_member(const std::string& text) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&stream, text.size()) + 32);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

struct Inflated {
  std::string text;
  bool fed = true;
  bool finished = false;
  std::string error;
};

// `input` fed in pieces that end at `cuts`.
Inflated inflate_in_pieces(const Bytes& input, std::vector<std::size_t> cuts) {
  Inflated result;
  GzipInflater inflater;
  auto sink = [](void* context, const std::uint8_t* data, std::size_t size) {
    static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data), size);
    return true;
  };
  cuts.push_back(input.size());
  std::size_t from = 0;
  for (const std::size_t cut : cuts) {
    if (!inflater.feed(input.data() + from, cut - from, sink, &result.text)) {
      result.fed = false;
      result.error = inflater.error();
      return result;
    }
    from = cut;
  }
  result.finished = inflater.finish();
  result.error = inflater.error();
  return result;
}

std::vector<std::size_t> random_cuts(std::mt19937_64& rng, std::size_t size) {
  std::vector<std::size_t> cuts;
  std::uniform_int_distribution<std::size_t> at(0, size);
  for (int i = std::uniform_int_distribution<int>(0, 6)(rng); i > 0; --i) cuts.push_back(at(rng));
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

TEST(GzipInflater, MembersAndPaddingInAnyPiecesGiveTheCompressedBytes) {
  std::mt19937_64 rng(25);
  for (int round = 0; round < 300; ++round) {
    std::string whole;
    Bytes input;
    for (int member = std::uniform_int_distribution<int>(1, 3)(rng); member > 0; --member) {
      std::string text;
      // Some members inflate to more than one piece of output.
      const std::size_t size = round == 0 && member == 1
                                   ? GzipInflater::kPieceBytes + 12345
                                   : std::uniform_int_distribution<std::size_t>(0, 3000)(rng);
      for (std::size_t i = 0; i < size; ++i) text.push_back("ab\n\0\x1f"[rng() % 5]);
      whole += text;
      const Bytes packed = gzip_member(text);
      input.insert(input.end(), packed.begin(), packed.end());
      input.insert(input.end(), rng() % 3 == 0 ? rng() % 5 : 0, 0);  // padding
    }
    std::vector<std::size_t> cuts = random_cuts(rng, input.size());
    if (round % 7 == 1) {
      // A piece that ends right after the first magic byte of the second member.
      input = gzip_member("");
      cuts = {input.size() + 1};
      const Bytes second = gzip_member("x\n");
      input.insert(input.end(), second.begin(), second.end());
      whole = "x\n";
    }
    const Inflated got = inflate_in_pieces(input, cuts);
    ASSERT_TRUE(got.fed && got.finished) << got.error;
    ASSERT_EQ(got.text, whole) << "round " << round;
  }
}

TEST(GzipInflater, ACutMemberAndBytesAfterTheLastMemberAreErrors) {
  std::mt19937_64 rng(7);
  const Bytes packed = gzip_member(std::string(5000, 'q') + "\nend\n");
  for (int round = 0; round < 100; ++round) {
    // Anything from the first byte to all but the last.
    const Bytes cut(packed.begin(), packed.begin() + 1 + static_cast<long>(rng() % (packed.size() - 1)));
    const Inflated got = inflate_in_pieces(cut, random_cuts(rng, cut.size()));
    ASSERT_TRUE(got.fed);
    EXPECT_FALSE(got.finished);
    EXPECT_EQ(got.error, "not valid gzip data: the input ends inside a member (a cut file?)");
  }
  Bytes junk = packed;
  junk.insert(junk.end(), {0, 0, 'j', 'u', 'n', 'k'});
  Inflated got = inflate_in_pieces(junk, {packed.size() + 1});
  EXPECT_FALSE(got.fed);
  EXPECT_EQ(got.error, "not valid gzip data: bytes after the last member that start no new one");
  // A corrupt block: zlib's own reason.
  Bytes corrupt = packed;
  for (std::size_t i = 10; i < 20; ++i) corrupt[i] = 0xff;
  got = inflate_in_pieces(corrupt, {});
  EXPECT_FALSE(got.fed);
  EXPECT_TRUE(got.error.starts_with("not valid gzip data: ")) << got.error;
  EXPECT_GT(got.error.size(), std::string("not valid gzip data: ").size());
}

}  // namespace
}  // namespace vantorelle::cli
