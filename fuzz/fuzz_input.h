#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace parvolane::fuzzing {

/// A fuzz input as two texts: what stands before its first NUL, and what follows it (empty
/// when there is no NUL).
inline std::pair<std::string_view, std::string_view> SplitAtNul(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  if (split == std::string_view::npos) return {input, {}};
  return {input.substr(0, split), input.substr(split + 1)};
}

}  // namespace parvolane::fuzzing
