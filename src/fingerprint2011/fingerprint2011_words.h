// fingerprint2011 of many integers at once: the hash of every row of an
// integer column.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantorelle {

// hashes[i] = fingerprint2011_word(words[i]) for i < count. Eight words a
// step with AVX-512 where the processor has it (chosen once, at the first
// call), else the inline one-word loop; the result is the same either way.
// `hashes` may be `words`.
void fingerprint2011_words(const std::uint64_t* words, std::size_t count, std::uint64_t* hashes);

}  // namespace vantorelle
