#pragma once

#include <string>
#include <string_view>

namespace parvolane {

/// Lower-cases UTF-8 text one code point for one (Unicode simple case mapping, independent of
/// the locale). Bytes that are not valid UTF-8 are kept as they are.
std::string LowerCaseUnicode(std::string_view utf8);

}  // namespace parvolane
