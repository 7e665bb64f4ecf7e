// UTF-8 as Unicode defines it well formed: no stray continuation byte, no
// overlong form, no surrogate, no code point past U+10FFFF and no sequence
// cut short. One definition for the command's JSON output and the checks of
// Arrow text columns.
#pragma once

#include <cstddef>
#include <string_view>

namespace vantorelle {

struct Utf8Step {
  std::size_t size;
  bool well_formed;
};

// The UTF-8 sequence at the start of `text` (not empty): its length when
// well formed, else the length of its longest well-formed start (at least
// 1), which reads as one U+FFFD as Unicode recommends (and Python's
// "replace" does).
Utf8Step utf8_step(std::string_view text);

// Whether no byte of `text` has its high bit set (a word at a time).
bool all_ascii(std::string_view text);

bool utf8_well_formed(std::string_view text);

}  // namespace vantorelle
