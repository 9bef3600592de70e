#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace orvel {

// Reading UTF-8 text by code points and by user-perceived characters.
namespace Unicode {

struct CodePoint {
  char32_t value;      // U+FFFD when not valid
  std::size_t length;  // bytes of the text it takes, at least 1
  bool valid;
};

// The code point at the start of the non-empty `text`. A byte that starts no
// valid UTF-8 sequence (overlong forms and surrogates included) is taken
// alone, as not valid.
CodePoint first(std::string_view text);

// Whether all of `text` is valid UTF-8.
bool isValid(std::string_view text);

// Calls `visit` with each extended grapheme cluster of `text` (what a reader
// sees as one character), in UTF-8 and in order, until `visit` returns false.
// A byte that is not valid UTF-8 stands for one U+FFFD.
void forEachCharacter(std::string_view text, const std::function<bool(std::string_view)>& visit);

// The columns a terminal gives the code point: 0 for combining marks and
// other zero-width ones, 2 for wide ones (East Asian wide, most emoji).
int columns(char32_t c);

// C0 controls, DEL and C1 controls (general category Cc).
constexpr bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); }

// The marks and embeddings that change the order in which text is shown
// (Bidi_Control), with which a name ending in ".exe" can show as one ending in ".pdf".
constexpr bool isBidiControl(char32_t c) {
  return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace Unicode
}  // namespace orvel
