#pragma once

#include <string>
#include <string_view>

namespace parvolane {

/// Length of the valid UTF-8 sequence that starts at text[index] (1 to 4), with its code point
/// in `codePoint`; 0 when the bytes there are not valid UTF-8 (overlong forms, surrogates and
/// values past U+10FFFF included).
int DecodeUtf8At(std::string_view text, size_t index, char32_t& codePoint);

/// The text without leading and trailing blanks and control characters (codes up to 32).
std::string_view TrimBlanksAndControls(std::string_view text);

/// Lower-cases UTF-8 text one code point for one (Unicode simple case mapping, independent of
/// the locale). Bytes that are not valid UTF-8 are kept as they are.
std::string LowerCaseUnicode(std::string_view utf8);

}  // namespace parvolane
