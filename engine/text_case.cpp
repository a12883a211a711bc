#include "engine/text_case.h"

#include <unicode/uchar.h>

namespace parvolane {

namespace {

void AppendUtf8(std::string& out, UChar32 cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

int DecodeUtf8At(std::string_view text, size_t index, char32_t& codePoint) {
  const auto b0 = static_cast<unsigned char>(text[index]);
  int length = 0;
  char32_t cp = 0;
  if (b0 < 0x80) {
    codePoint = b0;
    return 1;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (index + static_cast<size_t>(length) > text.size()) return 0;
  for (int k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(text[index + static_cast<size_t>(k)]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  codePoint = cp;
  return length;
}

std::string_view TrimBlanksAndControls(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32)
    text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32)
    text.remove_suffix(1);
  return text;
}

std::string LowerCaseUnicode(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {  // the common case, without a table look-up
      out += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
      ++i;
      continue;
    }
    char32_t cp = 0;
    const int len = DecodeUtf8At(utf8, i, cp);
    if (len == 0) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    AppendUtf8(out, u_tolower(static_cast<UChar32>(cp)));
    i += static_cast<size_t>(len);
  }
  return out;
}

}  // namespace parvolane
