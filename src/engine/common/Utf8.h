#pragma once
// Reading UTF-8 that comes from outside (a card's names, a helper's text):
// one rule for what a valid character is.

#include <cstddef>
#include <string_view>
#include <utility>

namespace tamsel {

// The code point at `i` and its length in bytes; length 0 for a byte that
// does not start a valid (shortest-form, non-surrogate) UTF-8 sequence.
std::pair<char32_t, std::size_t> decodeUtf8At(std::string_view s, std::size_t i);

bool isValidUtf8(std::string_view s);

}  // namespace tamsel
