#include "platform/Unicode.h"

#include <utf8proc.h>

#include <string>

namespace orvel {
namespace {

constexpr char32_t replacementCharacter = 0xFFFD;

void append(std::string& text, char32_t codePoint) {
  utf8proc_uint8_t buffer[4];
  auto length = utf8proc_encode_char(static_cast<utf8proc_int32_t>(codePoint), buffer);
  text.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

}  // namespace

Unicode::CodePoint Unicode::first(std::string_view text) {
  utf8proc_int32_t value = 0;
  auto length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                 static_cast<utf8proc_ssize_t>(text.size()), &value);
  if (length < 1) return {replacementCharacter, 1, false};
  return {static_cast<char32_t>(value), static_cast<std::size_t>(length), true};
}

bool Unicode::isValid(std::string_view text) {
  while (!text.empty()) {
    if (static_cast<unsigned char>(text.front()) < 0x80) {
      text.remove_prefix(1);
      continue;
    }
    auto codePoint = first(text);
    if (!codePoint.valid) return false;
    text.remove_prefix(codePoint.length);
  }
  return true;
}

int Unicode::columns(char32_t c) { return utf8proc_charwidth(static_cast<utf8proc_int32_t>(c)); }

void Unicode::forEachCharacter(std::string_view text, const std::function<bool(std::string_view)>& visit) {
  std::string cluster;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t breakState = 0;
  while (!text.empty()) {
    auto codePoint = first(text);
    text.remove_prefix(codePoint.length);
    auto value = static_cast<utf8proc_int32_t>(codePoint.value);
    if (previous >= 0 && utf8proc_grapheme_break_stateful(previous, value, &breakState)) {
      if (!visit(cluster)) return;
      cluster.clear();
    }
    append(cluster, codePoint.value);
    previous = value;
  }
  if (!cluster.empty()) visit(cluster);
}

}  // namespace orvel
