#include "utils/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace vantorelle {
namespace {

// Well formed by decoding each code point and checking its range: a
// formulation of its own beside the table of leading bytes and the ranges
// of second bytes that utf8_step keeps.
bool decodes(const std::string& text) {
  static const std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    int more = 0;
    std::uint32_t point = lead;
    if (lead >= 0x80) {
      if ((lead & 0xE0) == 0xC0) more = 1, point = lead & 0x1F;
      else if ((lead & 0xF0) == 0xE0) more = 2, point = lead & 0x0F;
      else if ((lead & 0xF8) == 0xF0) more = 3, point = lead & 0x07;
      else return false;
    }
    if (i + static_cast<std::size_t>(more) >= text.size() && more > 0) return false;
    for (int k = 1; k <= more; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) return false;
      point = point << 6 | (next & 0x3F);
    }
    if (point < kLeast[more] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

TEST(Utf8Test, EverySequenceOfBoundaryBytesAsTheDecoderJudgesIt) {
  // Each byte on either side of every boundary of the encoding: overlong
  // forms, surrogates, code points past U+10FFFF, stray and missing
  // continuation bytes.
  const std::uint8_t bytes[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  int malformed = 0;
  for (std::uint8_t a : bytes) {
    for (int length = 1; length <= 4; ++length) {
      // Every sequence of `length` bytes starting with a, padded by ASCII on
      // both sides so that the word-at-a-time skip meets it mid-word.
      std::uint32_t count = 1;
      for (int i = 1; i < length; ++i) count *= sizeof bytes;
      for (std::uint32_t n = 0; n < count; ++n) {
        std::string sequence(1, static_cast<char>(a));
        for (std::uint32_t rest = n, i = 1; i < static_cast<std::uint32_t>(length); ++i, rest /= sizeof bytes) {
          sequence += static_cast<char>(bytes[rest % sizeof bytes]);
        }
        const std::string text = "abcde" + sequence + "fghijklm";
        ASSERT_EQ(utf8_well_formed(text), decodes(text)) << testing::PrintToString(sequence);
        ASSERT_EQ(utf8_well_formed(sequence), decodes(sequence)) << testing::PrintToString(sequence);
        malformed += !decodes(sequence);
      }
    }
  }
  EXPECT_GT(malformed, 100000);
}

TEST(Utf8Test, AllAsciiSeesAHighBitAtAnyPlace) {
  for (std::size_t size = 0; size <= 40; ++size) {
    const std::string plain(size, 'x');
    EXPECT_TRUE(all_ascii(plain));
    for (std::size_t at = 0; at < size; ++at) {
      std::string text = plain;
      text[at] = static_cast<char>(0x80);
      EXPECT_FALSE(all_ascii(text)) << size << " " << at;
    }
  }
}

}  // namespace
}  // namespace vantorelle
